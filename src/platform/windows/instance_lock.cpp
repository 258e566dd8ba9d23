#include "platform/instance_lock.h"

#include <windows.h>

#include <functional>

namespace kelvarix {

InstanceLock::~InstanceLock() {
    if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

namespace {
std::string LockName(const std::string& program_folder) {
    // Windows paths ignore case: C:\Kelvarix\ and c:\kelvarix\ are one folder.
    std::string folder = program_folder;
    char full[MAX_PATH];
    const DWORD n = ::GetFullPathNameA(program_folder.c_str(), MAX_PATH, full, nullptr);
    if (n > 0 && n < MAX_PATH) folder.assign(full, n);
    for (char& c : folder) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c == '/') c = '\\';
    }
    if (folder.empty() || folder.back() != '\\') folder += '\\';
    // "Global\": a service and a copy on an operator's desktop see each other.
    return "Global\\Kelvarix-instance-" + std::to_string(std::hash<std::string>{}(folder));
}
}  // namespace

bool InstanceLock::HeldFor(const std::string& program_folder) {
    const HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, LockName(program_folder).c_str());
    if (mutex == nullptr) return false;
    ::CloseHandle(mutex);
    return true;
}

bool InstanceLock::Acquire(const std::string& program_folder) {
    const std::string name = LockName(program_folder);
    const HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) return true;  // cannot tell: let this one run rather than none
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    return true;
}

}  // namespace kelvarix
