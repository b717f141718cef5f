// The promise: each plug-in (usb0's carrier comes up after it was down)
// starts exactly one deployment; the watch, dpkg, a shutdown, a capture on
// usb0 and a late answer start none. Each row is a timing, played on a real
// link against the real watch and the stand-in for systemd, whose faults
// are a real systemd's; the result is the number of deployments the watch
// started (StartUnits that started a client), and a text that the log or
// the last status shows (or, after "!", must not show). What each look at
// the client leads to is cable_decision_test's.
//
// Steps: start (the watch starts), gone (it is gone until the next start),
// 0.5s (time passes), in, out, down, up (usb0 itself set down or up: a
// carrier bounce), promisc (a capture), fresh (no watch recorded usb0:
// power-on), run (a client started by hand runs), report (the running
// client is in its final report: it sees no carrier-up), end, stop (it
// ends, or is stopped by hand), dpkg, dpkg-done, dpkg-killed (the
// package's marker made, removed, left 301 s ago), and the stand-in's
// faults and commands (systemd_peer.h). A running client that is not in
// its final report sees each carrier-up.
#include <cstddef>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "cable/cable_bus.h"
#include "cable/cable_watch.h"
#include "link/link_query.h"
#include "net/fd_guard.h"
#include "tests/support/capture.h"
#include "tests/support/sandbox.h"
#include "tests/support/systemd_peer.h"
#include "tests/unit/protocol.h"

using namespace testsupport;

namespace {

struct Timing : Case {
    const char *steps;
    int deployments;
    const char *shows;
};

// The watch reaches the stand-in through the seam for tests.
int connectPeer()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, "/run/rc-systemd-peer"};
    return connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0 ? fd : -1;
}

class Promise : public ::testing::TestWithParam<Timing> {
  protected:
    // The service manager's notification socket: an abstract name, which the
    // test's network namespace has to itself. usb0 is as the last watch
    // recorded it.
    void SetUp() override
    {
        sockaddr_un addr{AF_UNIX, "\0rc-cable-status"};
        bind(notify_.get(), reinterpret_cast<const sockaddr *>(&addr), offsetof(sockaddr_un, sun_path) + 16);
        setenv("NOTIFY_SOCKET", "@rc-cable-status", 1);
        cableBusSetConnector(connectPeer);
        makeUsbLink();
        sockaddr_nl group{AF_NETLINK, 0, 0, RTMGRP_LINK};
        const timeval wait{10, 0}; // a change that never comes fails the row
        bind(link_.get(), reinterpret_cast<const sockaddr *>(&group), sizeof(group));
        setsockopt(link_.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        sh("mkdir -p /run/robot-client && printf 'ifindex=40\\ncarrier_up_count=" +
           std::to_string(queryUsb0Link().carrierUpCount) + "\\ncarrier=up\\n' >" + kCableRecordPath);
    }
    // The last status shown: each notification tells one.
    std::string status()
    {
        std::array<char, 512> message{};
        for (ssize_t len; (len = recv(notify_.get(), message.data(), message.size(), MSG_DONTWAIT)) > 0;)
            status_.assign(message.data(), static_cast<size_t>(len));
        return status_.substr(status_.find("STATUS=") + 7);
    }
    // The client's deployment record, as it writes it.
    void record(DeployState state)
    {
        count_ = state == DeployState::kRunning ? queryUsb0Link().carrierUpCount : count_;
        DeployRecord record{state, client_, 0, 0, 0, 0};
        record.usb0CarrierUpCount = count_;
        writeDeployRecord(kDeployRecordPath, record);
    }
    // Runs a command that changes usb0 and waits until the kernel has told
    // it, as it tells the watch: a carrier's change is told later than the
    // command returns. Waits for index's carrier up or down (usb0's at its
    // count now: notifications of earlier changes may come late too).
    bool link(const std::string &command, bool up, int index = 40)
    {
        sh(command);
        const uint32_t count = queryUsb0Link().carrierUpCount;
        alignas(nlmsghdr) std::array<char, kNetlinkReadMax> buf{};
        for (int len; (len = static_cast<int>(recv(link_.get(), buf.data(), buf.size(), 0))) > 0;) {
            const auto *record = reinterpret_cast<const nlmsghdr *>(buf.data());
            const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(record));
            if (record->nlmsg_type == RTM_NEWLINK && info->ifi_index == index &&
                ((info->ifi_flags & IFF_LOWER_UP) != 0) == up &&
                (index != 40 || carrierUpCountOf(record) == count))
                return true;
        }
        return false;
    }
    // Lets the watch act on everything that came and falls due; counts the
    // clients started.
    void settle()
    {
        do {
            std::istringstream reports(peer_.sync());
            for (std::string line; std::getline(reports, line);)
                if (line.starts_with("started "))
                    ++started_, seeing_ = true, client_ = std::stol(line.substr(8)),
                                record(DeployState::kRunning);
        } while (!gone_ && cableWatchStep(fd_, false) > 0);
    }
    void act(const std::string &step)
    {
        const std::string marker = "/run/robot-client/dpkg";
        if (step == "start")
            close(fd_), fd_ = cableWatchStart(), gone_ = false;
        else if (step == "gone")
            gone_ = true;
        else if (step == "0.5s")
            usleep(500000);
        else if (step == "in" || step == "out")
            link("ip link set mgr0 " + std::string(step == "in" ? "up" : "down"), step == "in");
        else if (step == "down" || step == "up") // usb0 itself: a carrier bounce
            link("ip link set usb0 " + step, step == "up", step == "up" ? 40 : 41);
        else if (step == "promisc")
            link("ip link set usb0 promisc on", true);
        else if (step == "fresh")
            unlink(kCableRecordPath);
        else if (step == "run")
            client_ = 7, seeing_ = true, peer_.command("client active running 7"),
            record(DeployState::kRunning);
        else if (step == "report")
            seeing_ = false;
        else if (step == "end" || step == "stop")
            record(step == "end" ? DeployState::kFinished : DeployState::kStopped),
                peer_.command("client inactive dead " + std::to_string(client_)), client_ = 0;
        else if (step.starts_with("dpkg"))
            sh(step == "dpkg"        ? "cp /proc/uptime " + marker
               : step == "dpkg-done" ? "rm " + marker
                                     : "awk '{print $1 - 301}' /proc/uptime >" + marker);
        else if (step == "go" || step == "drop")
            peer_.command(step);
        else
            peer_.command("fault " + step);
        // A running client restarts its handshake on a carrier-up it sees.
        if ((step == "in" || step == "up") && client_ != 0 && seeing_)
            record(DeployState::kRunning);
        if (step != "drop")
            settle();
    }
    SystemdPeer peer_{"/run/rc-systemd-peer"};
    FdGuard notify_{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    FdGuard link_{socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
    std::optional<OutputCapture> out_{std::in_place};
    std::string status_ = "STATUS=";
    int fd_ = -1, started_ = 0;
    bool gone_ = true, seeing_ = false;
    long client_ = 0;
    uint32_t count_ = 0;
};

TEST_P(Promise, Holds)
{
    std::istringstream steps(GetParam().steps);
    for (std::string step; steps >> step;)
        act(step);
    const std::string shown = plain(out_->text()) + "STATUS: " + status() + "\n", text = GetParam().shows;
    out_.reset();
    EXPECT_EQ(started_, GetParam().deployments) << shown;
    const bool absent = text.starts_with("!");
    EXPECT_EQ(shown.find(text.substr(absent ? 1 : 0)) == std::string::npos, absent) << shown;
}

const Timing kTimings[] = {
    {{"PowerOnWithTheCableIn"}, "fresh start end", 1, "NOTICE: robot-client.service started"},
    {{"APlugInBeforeADeployment"}, "out start in end", 1, "copies: both ok"},
    {{"APlugInDuringADeployment"}, "out start run in end", 0, "was running"},
    {{"APlugInAfterADeployment"}, "out start in end out in end", 2, "STATUS: cable in since"},
    {{"DuringARestartedDeployment"}, "out start run in report out in end", 1, "started again after"},
    {{"APlugInDuringTheFinalReport"}, "out start run report in end", 1, "started again after"},
    {{"APlugInDuringTheWatchsRestart"}, "out start in end gone out in start end", 2, "service started"},
    {{"APlugInWhileNoWatchRanWithTheCableOut"}, "out start gone in start end", 1, "ended at"},
    {{"ASlowSystemd"}, "out start run slow in end", 0, "!started again"},
    {{"AFailedStartThenARePlug"}, "out start failed in out in end", 1, "ended failed; plug in again"},
    {{"AStartLostWithTheConnectionIsRetried"}, "out start lose in end", 1, "ended at"},
    {{"APlugInInTheWakeThatDroppedTheBus"}, "out start run in report down drop up end", 1, "again after"},
    {{"AConnectionDroppedMidFollow"}, "out start in drop end", 1, "ended at"},
    {{"APendingClientJobAndAFailedRead"}, "out start pending readfail in go end", 1, "!disabled"},
    {{"ReadsThatStraddleAStart"}, "out start run report in straddle end", 1, "started again after"},
    {{"AMarkerLeftByAKilledDpkg"}, "dpkg-killed out start in end", 1, "ended at"},
    {{"DpkgWithACarrierAfterTheWatchStarts"}, "dpkg out start 0.5s in", 0, "plug in again"},
    {{"ACancelledStart"}, "out start canceled in", 0, "cancelled; plug in again"},
    {{"AUsb0MadeDuringDpkg"}, "fresh dpkg out start dpkg-done in out in end", 1, "usb0 was made"},
    {{"AShutdownDuringTheFinalReport"},
     "out start run report in shutdown end",
     0,
     "NOTICE: robot-client-plugged.target not started"},
    {{"AStopByHandDuringTheFinalReport"}, "out start run report in stop", 0, "STATUS: cable in since"},
    {{"ACaptureOnUsb0"}, "start promisc", 0, "no deployment started"},
};
INSTANTIATE_TEST_SUITE_P(EachPlugInDeploysOnce, Promise, ::testing::ValuesIn(kTimings),
                         behaviourOf<::testing::TestParamInfo<Timing>>);

} // namespace
