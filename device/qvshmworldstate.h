// What the "SharedMemory" worlds of one process share: the table of live
// devices by world, the numbers handed to worlds and devices, and the two
// watch threads. The watches belong to the count of live worlds, not to the
// world that happened to start them: the first world starts them, the last
// stops and joins them, and they use only state of their own.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace Quorvane {
class QVSharedMemoryDevice;
}

namespace Quorvane::shmworld {

using DeviceMap = std::map<uint64_t, QVSharedMemoryDevice*>;
using WorldTable = std::map<uint64_t, DeviceMap>;

// The live devices of every world, by world number; worldTableLock guards
// it and the device numbers, and is taken after the count of live worlds'.
std::mutex& worldTableLock();
WorldTable& worldTable();

uint64_t TakeWorldNumber();
// Under worldTableLock.
uint64_t TakeDeviceNumber();
// The numbers the next world and device will get, for printing.
uint64_t NextWorldNumber();
uint64_t NextDeviceNumber();

// A world entering and leaving; the first starts the watches, the last stops
// them (type 4 "Error spawning QVThread" when one cannot start).
void WorldArrives(uint64_t world);
void WorldLeaves(uint64_t world);
uint64_t ActiveWorlds();

// Thread names (the library adds its prefix).
inline constexpr char kSegmentWatchName[] = "SHM-SegmentWatch";
inline constexpr char kOtherProcessWatchName[] = "SHM-OtherProcessWatch";
// How often each watch looks again.
inline constexpr long kSegmentWatchMicroseconds = 1800000000L;
inline constexpr long kOtherProcessWatchMicroseconds = 3000000L;

// Passes of each watch finished since the process started (the first runs as
// soon as the watch starts).
uint64_t SegmentWatchPasses();
uint64_t OtherProcessWatchPasses();

}  // namespace Quorvane::shmworld
