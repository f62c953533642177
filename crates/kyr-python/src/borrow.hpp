// Borrow guards over an object's borrow counter.
//
// The counter is 0 when free, the number of readers when positive and -1
// while one writer holds it. A conflict is only possible when Python code runs
// in the middle of a call (an __index__ callback, a finaliser, code reached
// through NumPy), and then fails instead of exposing a half-written state.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

namespace kyr::python {

class Borrow {
public:
    // Sets RuntimeError "Already mutably borrowed" and returns nothing while a
    // writer holds the counter.
    static std::optional<Borrow> shared(Py_ssize_t& counter) {
        if (counter == writer) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return std::nullopt;
        }
        ++counter;
        return Borrow(counter);
    }

    // Sets RuntimeError "Already borrowed" and returns nothing while anyone
    // holds the counter.
    static std::optional<Borrow> exclusive(Py_ssize_t& counter) {
        if (counter != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        counter = writer;
        return Borrow(counter);
    }

    Borrow(Borrow&& other) noexcept : counter_(std::exchange(other.counter_, nullptr)) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;

    ~Borrow() {
        if (counter_ == nullptr) {
            return;
        }
        if (*counter_ == writer) {
            *counter_ = 0;
        } else {
            --*counter_;
        }
    }

private:
    static constexpr Py_ssize_t writer = -1;

    explicit Borrow(Py_ssize_t& counter) noexcept : counter_(&counter) {}

    Py_ssize_t* counter_;
};

}  // namespace kyr::python
