// Where vardex-check's words go: its lines to standard output, its complaints to standard error.
#pragma once

#include <string>

constexpr const char* ProgramName = "vardex-check";

// All of AText to AFd, through short writes and interruptions; false (errno set) on a failure.
bool WriteAll(int AFd, const std::string& AText);

// "vardex-check: AText" and a line end on standard error.
void Complain(const std::string& AText);

// Standard output, line by line. A reader that went away (a closed pipe) ends the program
// quietly; any other failure is reported once.
bool WriteOutput(const std::string& ALine);
