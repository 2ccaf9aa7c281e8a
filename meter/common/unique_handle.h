#pragma once

#include <utility>

namespace velmora {

// Owns one operating-system handle and closes it exactly once. Traits supply the handle type,
// its "none" value and how to close it:
//   struct Traits { using Type = ...; static Type Invalid() noexcept; static void Close(Type)
//   noexcept; };
template <typename Traits>
class UniqueHandle {
  public:
    using Type = typename Traits::Type;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Type handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    [[nodiscard]] Type get() const noexcept { return handle_; }
    [[nodiscard]] bool valid() const noexcept { return handle_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the held handle (if any) and takes ownership of `handle`.
    void reset(Type handle = Traits::Invalid()) noexcept {
        Type old = std::exchange(handle_, handle);
        if (old != Traits::Invalid()) {
            Traits::Close(old);
        }
    }

    // Gives up ownership without closing.
    [[nodiscard]] Type release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

  private:
    Type handle_ = Traits::Invalid();
};

}  // namespace velmora
