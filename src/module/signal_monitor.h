// A read monitor that runs Python's signal handlers during a read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "selection/read_monitor.h"
#include "module/owned_ref.h"

namespace zentrail {

// Lets Python's signal handlers run during a read, so that Ctrl-C, an alarm
// or an interrupt from a watchdog ends it. Checking is cheap, but the reader
// polls after every refill of its window (at most 128 KiB) and the walk every few hundred entries;
// counting each poll as a quarter of a megabyte of work, on top of its
// bytes, checks about every millisecond of work. The lock stays held.
class SignalMonitor : public ReadMonitor {
public:
    void poll(int64_t bytes_read) override {
        work += bytes_read + POLL_WEIGHT;
        if (work < CHECK_EVERY) return;
        work = 0;
        if (PyErr_CheckSignals() != 0) throw PythonErrorAlreadySet{};
    }

private:
    static constexpr int64_t POLL_WEIGHT = 1 << 18;
    static constexpr int64_t CHECK_EVERY = 1 << 20;
    int64_t work = 0;
};

}  // namespace zentrail
