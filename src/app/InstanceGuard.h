// Keeps a second run from working beside a first one. The first run creates
// an object under a system-wide name and keeps it for as long as its guard
// lives; a run that finds the name already taken is told so. The guard is
// advisory: failing to create it leaves the run unguarded, not stopped.
#ifndef TOLVANE_INSTANCE_GUARD_H
#define TOLVANE_INSTANCE_GUARD_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// The name every run registers under (a backslash stands for itself). Its
// prefix puts it in the machine-wide namespace on Windows, so that runs under
// different logons see each other.
constexpr char kInstanceGuardName[] = "Global\\{CFF99109-6635-466D-9A06-1FCF59AEE10B}";

class InstanceGuard {
public:
    // Creates, or opens if it exists, the object called `name`. Tests pass a
    // name of their own so as not to meet a real run.
    static InstanceGuard acquire(const std::string& name = kInstanceGuardName);

    // Another holder of the name was there first.
    bool alreadyExisted() const { return existed; }
    // This guard created the name and keeps it until it is destroyed.
    bool held() const { return handle.has_value() && !existed; }
    // Why this guard keeps runs apart less well than it should (another
    // user may hold its name, or there is none); empty when it does.
    const std::string& weakness() const { return weak; }

    InstanceGuard(InstanceGuard&& other) noexcept
        : handle(std::exchange(other.handle, std::nullopt)), existed(other.existed),
          weak(std::move(other.weak))
    {
    }
    InstanceGuard& operator=(InstanceGuard&& other) noexcept
    {
        if (this != &other) {
            release();
            handle = std::exchange(other.handle, std::nullopt);
            existed = other.existed;
            weak = std::move(other.weak);
        }
        return *this;
    }
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;
    ~InstanceGuard() { release(); }

private:
    InstanceGuard(std::optional<std::intptr_t> openHandle, bool nameExisted,
                  std::string weakness = {})
        : handle(openHandle), existed(nameExisted), weak(std::move(weakness))
    {
    }
    void release() noexcept
    {
        if (handle)
            closeHandle(*handle);
        handle.reset();
    }
    // Defined per platform, like acquire.
    static void closeHandle(std::intptr_t openHandle) noexcept;

    std::optional<std::intptr_t> handle; // the platform's handle, while open
    bool existed;
    std::string weak;
};

#endif
