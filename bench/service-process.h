// The running service seen from a benchmark: its process id (asked from the
// bus) and what the kernel counts for it, so a benchmark reports the
// service's own CPU time and memory beside the wall clock, which on a busy
// machine also counts other processes.
#pragma once

#include <sdbus-c++/sdbus-c++.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "contact-engine-bus.h"

namespace bench {

inline pid_t service_pid()
{
    auto connection = sdbus::createSystemBusConnection();
    auto daemon = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    std::uint32_t pid = 0;
    daemon->callMethod("GetConnectionUnixProcessID")
        .onInterface("org.freedesktop.DBus")
        .withArguments(std::string(CONTACT_ENGINE_BUS_NAME))
        .storeResultsTo(pid);
    return pid_t(pid);
}

// CPU time (user + system) from /proc/<pid>/stat.
inline double cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the command name, which may hold spaces: state is the
    // first, utime and stime are the 12th and 13th.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12)
            utime = std::stoull(field);
        if (i == 13)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// A "Vm...:" line of /proc/<pid>/status, in kB.
inline long memory_kb(pid_t pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return -1;
}

} // namespace bench
