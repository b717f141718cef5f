// The files the cable watch keeps and reads under /run/robot-client beside
// the client's: its record of usb0 (kCableRecordPath), which the next watch
// compares with when it starts, and the package's marker (kDpkgMarkerPath),
// which the maintainer scripts keep while they run.
#pragma once

#include <cstdint>

// How long the package's marker (kDpkgMarkerPath) counts, on the boot
// clock: one left by a killed dpkg must not silence plug-ins for long.
constexpr double kDpkgMarkerFreshSec = 300;
// A usb0 that the package's installation made (the gadget it started): its
// first carrier-up within this long of its making is the host enumerating
// the gadget, no plug-in, even when dpkg has ended by then.
constexpr double kInstallUsb0Sec = 10;

// What the watch last recorded of usb0 (kCableRecordPath): its interface
// index (0: none), its carrier-up count (link_query.h) and its carrier.
struct CableRecord {
    int ifindex = 0;
    uint32_t carrierUpCount = 0;
    bool carrierUp = false;
    bool operator==(const CableRecord &) const = default;
};

// The record as kCableRecordPath holds it ("ifindex=N", "carrier_up_count=N",
// "carrier=up|down", a line each); all zero when there is none.
CableRecord readCableRecord();

// Replaces kCableRecordPath with record: false (errno set) when it cannot.
bool writeCableRecord(const CableRecord &record);

// Whether the package's maintainer scripts run now: a marker younger than
// kDpkgMarkerFreshSec.
bool dpkgMarkerFresh();

// CLOCK_BOOTTIME now, in seconds: the marker's clock, which no step of the
// wall clock moves.
double bootSeconds();
