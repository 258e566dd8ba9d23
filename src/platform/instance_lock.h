#pragma once
#include <cstdint>
#include <string>

namespace kelvarix {

// Sees whether another gateway runs on the same program folder. The lock is a
// kernel object named after the folder (an abstract local socket on Linux, a
// named mutex on Windows): it needs no file (the folder may be read-only) and
// the system releases it when the process ends, however it ends.
class InstanceLock {
public:
    InstanceLock() = default;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

    // True when this process now holds the lock for the folder.
    bool Acquire(const std::string& program_folder);

    // True when a process holds the lock for the folder. Only looks: it
    // neither takes the lock nor keeps a gateway from starting meanwhile.
    static bool HeldFor(const std::string& program_folder);

private:
    std::intptr_t handle_ = -1;  // a descriptor, or a Windows handle
};

}  // namespace kelvarix
