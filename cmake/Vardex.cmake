# Shared build settings and the one helper every test program is registered with.

set(VARDEX_WARNINGS -Wall -Wextra -Wshadow)
# Nothing here reads errno after a math function or the floating-point exception flags; with
# both off, the compiler inlines floor, round and llround, and vardex-check starts without
# mapping libm.
add_compile_options(-fno-math-errno -fno-trapping-math)

if(VARDEX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VARDEX_FUZZ)
  # A fuzz build (clang): every library gets libFuzzer's coverage instrumentation and the
  # sanitizers, so a fault deep in a library stops the fuzzer with a report.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VARDEX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# A release build takes Debian's hardening flags from dpkg-buildflags, as a package built by
# debhelper would: _FORTIFY_SOURCE, the strong stack protector, format-security errors, PIE,
# full RELRO and immediate binding (lintian's hardening-no-* tags). The sanitizer and fuzz
# builds keep their own; a machine without dpkg-buildflags builds without them.
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT VARDEX_SANITIZE AND NOT VARDEX_TSAN AND NOT VARDEX_FUZZ)
  find_program(VARDEX_DPKG_BUILDFLAGS dpkg-buildflags)
  if(VARDEX_DPKG_BUILDFLAGS)
    foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
        ${VARDEX_DPKG_BUILDFLAGS} --get ${kind}
        OUTPUT_VARIABLE vardex_${kind} OUTPUT_STRIP_TRAILING_WHITESPACE)
    endforeach()
    # -O2 and -g of theirs come before the build type's -O3; the package is stripped.
    string(APPEND CMAKE_C_FLAGS " ${vardex_CPPFLAGS} ${vardex_CFLAGS}")
    string(APPEND CMAKE_CXX_FLAGS " ${vardex_CPPFLAGS} ${vardex_CXXFLAGS}")
    foreach(kind EXE SHARED MODULE)
      string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${vardex_LDFLAGS}")
    endforeach()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  endif()
endif()

# vardex_library(NAME SOURCES... [LINK libs...])
function(vardex_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE ${VARDEX_WARNINGS})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  if(ARG_LINK)
    target_link_libraries(${name} PUBLIC ${ARG_LINK})
  endif()
endfunction()

# vardex_test(NAME SOURCES... [LINK libs...] [LABELS labels...] [TIMEOUT seconds] [QT]
#             [INTEGRATION] [INTEGRATION_CASES gtest-filter])
# One test program per unit; GoogleTest unless QT is given (then Qt Test drives it offscreen).
# Every test is labelled `unit` or `integration`, so that `ctest -L unit` is the quick loop:
# INTEGRATION marks a program that needs network namespaces, nginx, Prometheus, an X server,
# a Wayland compositor, a D-Bus daemon, a browser or the installed package, or takes long.
# INTEGRATION_CASES names such cases of a GoogleTest program instead: they run as
# NAMEIntegration, the rest as NAME.
function(vardex_test name)
  cmake_parse_arguments(ARG "QT;INTEGRATION" "TIMEOUT;INTEGRATION_CASES" "SOURCES;LINK;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE ${VARDEX_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  if(ARG_QT)
    target_link_libraries(${name} PRIVATE ${ARG_LINK} tests_support Qt6::Test)
  else()
    target_link_libraries(${name} PRIVATE ${ARG_LINK} tests_support GTest::gtest GTest::gtest_main)
  endif()
  if(ARG_INTEGRATION_CASES)
    add_test(NAME ${name} COMMAND ${name} --gtest_filter=-${ARG_INTEGRATION_CASES})
    add_test(NAME ${name}Integration COMMAND ${name} --gtest_filter=${ARG_INTEGRATION_CASES})
    set(runs "${name}:unit" "${name}Integration:integration")
  elseif(ARG_INTEGRATION)
    add_test(NAME ${name} COMMAND ${name})
    set(runs "${name}:integration")
  else()
    add_test(NAME ${name} COMMAND ${name})
    set(runs "${name}:unit")
  endif()
  set(timeout 120)
  if(ARG_TIMEOUT)
    set(timeout ${ARG_TIMEOUT})
  endif()
  set(environment "QT_QPA_PLATFORM=offscreen;VARDEX_SOURCE_DIR=${CMAKE_SOURCE_DIR};VARDEX_BINARY_DIR=${CMAKE_BINARY_DIR}")
  if(ARG_QT)
    # The window speaks the user's language; its tests expect the C locale's, Russian.
    string(APPEND environment ";LC_ALL=;LC_MESSAGES=;LANGUAGE=;LANG=C.UTF-8")
  endif()
  foreach(run IN LISTS runs)
    string(REPLACE ":" ";" run "${run}")
    list(GET run 0 test)
    list(GET run 1 kind)
    set(labels ${kind} ${ARG_LABELS})
    set_tests_properties(${test} PROPERTIES TIMEOUT ${timeout} ENVIRONMENT "${environment}" LABELS "${labels}")
  endforeach()
  if("tsan" IN_LIST ARG_LABELS)
    set_property(GLOBAL APPEND PROPERTY VARDEX_TSAN_TESTS ${name})
  endif()
endfunction()
