#pragma once
#include <string>

namespace kelvarix {

// Sees whether another gateway runs on the same program folder. The lock is an
// abstract local socket named after the folder: it needs no file (the folder
// may be read-only) and the kernel releases it when the process ends, however
// it ends.
class InstanceLock {
public:
    InstanceLock() = default;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

    // True when this process now holds the lock for the folder.
    bool Acquire(const std::string& program_folder);

private:
    int fd_ = -1;
};

}  // namespace kelvarix
