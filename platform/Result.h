#pragma once

#include <optional>
#include <string>
#include <utility>

namespace corvantis {

// The outcome of a platform call: a value, or an errno with a message. g++ 12 has no std::expected.
class Status {
public:
    Status() = default;
    static Status error(int err, std::string message) { return Status(err, std::move(message)); }

    bool ok() const { return m_errno == 0; }
    int errnum() const { return m_errno; }
    const std::string& message() const { return m_message; }

private:
    Status(int err, std::string message)
        : m_errno(err == 0 ? -1 : err)
        , m_message(std::move(message))
    {
    }
    int m_errno = 0;
    std::string m_message;
};

template <typename T> class [[nodiscard]] Result {
public:
    Result(T value)
        : m_value(std::move(value))
    {
    }
    Result(Status status)
        : m_status(std::move(status))
    {
    }

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    const Status& status() const { return m_status; }
    T& value() { return *m_value; }
    const T& value() const { return *m_value; }
    T& operator*() { return *m_value; }
    T* operator->() { return &*m_value; }

private:
    std::optional<T> m_value;
    Status m_status;
};

} // namespace corvantis
