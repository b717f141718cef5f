// The files under /run/robot-client that the client and the cable watch
// share: what one of them writes there, the other reads. The directory is
// both units' RuntimeDirectory, kept when they stop; all of it is gone at
// reboot with /run.
#pragma once

constexpr const char *kRunDir = "/run/robot-client";
// The client's single-instance lock: one robot-client per board drives usb0.
constexpr const char *kLockPath = "/run/robot-client/lock";
// The client's deployment record (deploy_record.h), read by the watch.
constexpr const char *kDeployRecordPath = "/run/robot-client/deployment";
// The watch's record of the usb0 it has seen ("ifindex=N").
constexpr const char *kCableRecordPath = "/run/robot-client/cable";
// Made by the package's maintainer scripts while they run: nothing they
// start is a plug-in.
constexpr const char *kDpkgMarkerPath = "/run/robot-client/dpkg";
