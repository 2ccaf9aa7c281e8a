#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace velmora::test {

// The message of the std::runtime_error that `action` raises, or "(no exception)".
inline std::string FailureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

}  // namespace velmora::test
