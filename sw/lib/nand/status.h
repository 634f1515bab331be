// The engine's one error type: what a call that can fail returns. Good, or
// bad input (a layout that cannot work, a malformed file), or a failure of
// the system (a file that cannot be read), each with a message of one line
// that a tool prints as it stands and a script raises.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nand {

inline constexpr std::size_t kMaxMessage = 384;

class Status {
public:
    enum class Kind : std::uint8_t {
        Good,
        Invalid,  // the input: parameters, a layout, a file's contents
        System,   // the system: errno() says what
    };

    Status() = default;  // good
    static Status invalid(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static Status system(int err, const char *format, ...) __attribute__((format(printf, 2, 3)));

    bool good() const { return kind_ == Kind::Good; }
    Kind kind() const { return kind_; }
    int errnum() const { return err_; }  // System: the errno
    const char *message() const { return message_; }

private:
    Kind kind_ = Kind::Good;
    int err_ = 0;
    char message_[kMaxMessage] = "";
};

}  // namespace nand
