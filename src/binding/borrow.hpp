// The per-object borrow flag: any number of shared accesses or one exclusive
// access, held by a guard for the whole run of a method.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "binding/errors.hpp"
#include "python_support/py_ref.hpp"

namespace lexispan::binding {

using BorrowFlag = std::atomic<std::uintptr_t>;
inline constexpr std::uintptr_t exclusively_borrowed = std::numeric_limits<std::uintptr_t>::max();

class SharedAccess {
public:
    // Raises RuntimeError "Already mutably borrowed" during an exclusive access.
    SharedAccess(PyObject* owner, BorrowFlag& flag) : flag_(flag) {
        std::uintptr_t current = flag_.load(std::memory_order_relaxed);
        do {
            if (current == exclusively_borrowed) {
                throw_python_error(PyExc_RuntimeError, "Already mutably borrowed");
            }
        } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        owner_ = PyRef::borrow(owner);
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    ~SharedAccess() { flag_.fetch_sub(1, std::memory_order_release); }

private:
    BorrowFlag& flag_;
    PyRef owner_;  // keeps the object alive while the access is held
};

class ExclusiveAccess {
public:
    // Raises RuntimeError "Already borrowed" while any access is active.
    ExclusiveAccess(PyObject* owner, BorrowFlag& flag) : flag_(flag) {
        std::uintptr_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, exclusively_borrowed,
                                           std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            throw_python_error(PyExc_RuntimeError, "Already borrowed");
        }
        owner_ = PyRef::borrow(owner);
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ~ExclusiveAccess() { flag_.store(0, std::memory_order_release); }

private:
    BorrowFlag& flag_;
    PyRef owner_;
};

}  // namespace lexispan::binding
