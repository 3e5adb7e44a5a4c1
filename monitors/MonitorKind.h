// What each kind of monitor is, as data: its type name, its keys with their defaults, units,
// value rules and meanings, how a list writes them, how its target is said and how one is
// made. The factory, the window's Create menu and editor, vardex-check's lines, metrics and
// shards and the README's key table all ask these descriptions, so a new kind is its class,
// its probe and one entry of MonitorKinds().
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TServiceMonitor;

// Marks a window text that lives outside the window's code: it stays as it is here, and the
// translation tools (told that this is their QT_TRANSLATE_NOOP) collect it under AContext.
#define VARDEX_WINDOW_TEXT(AContext, AText) AText

// How a monitor's target is said.
enum TTargetForm : uint8_t {
    tfFull, // as the list writes it, secrets included: what a shard is chosen by
    tfMasked, // a URL's password as "***": tooltips, vardex-check's lines, JSON, the status page
    tfLabel, // as a metric label takes it: no password, query or fragment
};

// What a key's value may be.
enum TKeyRule : uint8_t {
    krNumber, // integer text, Minimum or more; with a Maximum below INT32_MAX, decimal digits
              // (a leading "-" allowed) between Minimum and Maximum
    krSwitch, // integer text; anything but 0 is on
    krVerifySwitch, // never refused: anything but a readable 0 is on, so a typo keeps it on
    krChoice, // one of Choices, in any letter case
    krURL, // "scheme://host..."
    krHost, // a name or an address: anything but empty
    krAddress, // an IP address with an optional port, or empty
    krText, // anything, empty included
};

// When a list carries a key.
enum TKeyWritten : uint8_t {
    kwAlways,
    kwUnlessDefault, // only while its value differs from Default
    kwWhileOn, // only while the switch named by OnlyWith is on
};

struct TKeyDescription {
    std::string_view Name {}; // as a list writes it ("Interval")
    TKeyRule Rule = krText;
    // The value of a new monitor, as a list writes it.
    std::string_view Default {};
    // What a number counts ("seconds", "days"); empty for other values.
    std::string_view Unit {};
    // One line for the README and the manual pages.
    std::string_view Meaning {};
    TKeyWritten Written = kwAlways;
    std::string_view OnlyWith {}; // the switch of kwWhileOn
    int32_t Minimum = INT32_MIN;
    int32_t Maximum = INT32_MAX;
    std::span<const std::string_view> Choices {}; // krChoice
    // What a number or switch its key cannot take leaves in the field: Fallback, or with
    // KeepsField the value the field had.
    int32_t Fallback = 0;
    bool KeepsField = false;
};

struct TMonitorKind {
    // The value of "Type=", letter case counting ("PingMonitor").
    std::string_view TypeKey {};
    // The name of the kind in the README's tables ("ping").
    std::string_view Word {};
    // Its entry in the window's Services > Create menu ("&PingMonitor"), not translated.
    std::string_view MenuText {};
    // Its line in the window's tooltip of a name, %1 the masked target (VARDEX_WINDOW_TEXT,
    // context "TfmMain").
    const char* Caption = nullptr;
    // Every key, Interval first, in the order a list writes them.
    std::span<const TKeyDescription> Keys {};
    // A new monitor of this kind with the defaults.
    std::unique_ptr<TServiceMonitor> (*Create)() = nullptr;
    // Its target in the form asked.
    std::string (*Target)(const TServiceMonitor& AMonitor, TTargetForm AForm) = nullptr;

    // The key named AName, ignoring ASCII letter case; nullptr when the kind has none.
    const TKeyDescription* FindKey(std::string_view AName) const;
};

// Every kind, in the order of the Create menu.
const std::vector<const TMonitorKind*>& MonitorKinds();
// The kind whose TypeKey is ATypeKey, letter case counting; nullptr for none.
const TMonitorKind* FindMonitorKind(std::string_view ATypeKey);
