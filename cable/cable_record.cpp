#include "cable/cable_record.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <sys/stat.h>

#include "record/run_paths.h"

CableRecord readCableRecord()
{
    CableRecord record;
    FILE *file = fopen(kCableRecordPath, "re");
    std::array<char, 48> line{};
    constexpr std::string_view kIndex = "ifindex=", kCount = "carrier_up_count=";
    while (file != nullptr && fgets(line.data(), line.size(), file) != nullptr) {
        const std::string_view text(line.data());
        if (text.starts_with(kIndex))
            record.ifindex = static_cast<int>(strtol(line.data() + kIndex.size(), nullptr, 10));
        else if (text.starts_with(kCount))
            record.carrierUpCount = static_cast<uint32_t>(strtoul(line.data() + kCount.size(), nullptr, 10));
        else if (text.starts_with("carrier="))
            record.carrierUp = text.starts_with("carrier=up");
    }
    if (file != nullptr)
        fclose(file);
    return record;
}

bool writeCableRecord(const CableRecord &record)
{
    FILE *file = fopen(kCableRecordPath, "we");
    if (file == nullptr)
        return false;
    const bool written = fprintf(file, "ifindex=%d\ncarrier_up_count=%u\ncarrier=%s\n", record.ifindex,
                                 record.carrierUpCount, record.carrierUp ? "up" : "down") > 0;
    return fclose(file) == 0 && written;
}

// The package's maintainer scripts run. Their postinst writes /proc/uptime
// into the marker: its age on the boot clock, which no step of the wall
// clock moves (a board without an RTC sets it during dpkg). A marker
// without it: its modification time on the wall clock.
bool dpkgMarkerFresh()
{
    FILE *file = fopen(kDpkgMarkerPath, "re");
    if (file == nullptr)
        return false;
    std::array<char, 64> text{};
    const bool read = fgets(text.data(), text.size(), file) != nullptr;
    fclose(file);
    char *end = nullptr;
    const double markedAt = read ? strtod(text.data(), &end) : 0;
    struct stat marker {};
    double age = kDpkgMarkerFreshSec;
    if (read && end != text.data())
        age = bootSeconds() - markedAt;
    else if (stat(kDpkgMarkerPath, &marker) == 0)
        age = static_cast<double>(time(nullptr) - marker.st_mtime);
    return age >= 0 && age < kDpkgMarkerFreshSec;
}

double bootSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
