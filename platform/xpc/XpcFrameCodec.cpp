#include "platform/xpc/XpcFrameCodec.h"

#include "platform/Utf8.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvantis {

namespace {

enum Tag : uint8_t {
    kAbsent = 0x00,
    kInteger = 0x01,
    kFalse = 0x02,
    kTrue = 0x03,
    kReal = 0x04,
    kString = 0x05,
    kData = 0x06,
    kArray = 0x07,
    kDict = 0x08,
    kEndpoint = 0x09,
};

// Whatever the caller sets, recursion stays well inside a thread's stack.
constexpr size_t kHardMaxDepth = 512;

size_t effectiveDepth(const XpcLimits& limits)
{
    return std::min(limits.maxDepth, kHardMaxDepth);
}

Status fault(const std::string& message)
{
    return Status::error(EBADMSG, message);
}

class Encoder {
public:
    Encoder(const XpcLimits& limits)
        : m_maxBytes(std::min<size_t>(limits.maxFrameBytes, UINT32_MAX))
        , m_maxDepth(effectiveDepth(limits))
    {
        m_out.resize(XpcFrameCodec::kHeaderBytes);
    }

    Status value(const XpcObject& v, size_t depth)
    {
        switch (v.type()) {
        case XpcObject::Type::Absent:
            byte(kAbsent);
            break;
        case XpcObject::Type::Integer:
            byte(kInteger);
            u64(static_cast<uint64_t>(*v.integer()));
            break;
        case XpcObject::Type::Bool:
            byte(*v.boolean() ? kTrue : kFalse);
            break;
        case XpcObject::Type::Real: {
            uint64_t bits = 0;
            std::memcpy(&bits, v.real(), sizeof bits);
            byte(kReal);
            u64(bits);
            break;
        }
        case XpcObject::Type::String:
            byte(kString);
            text(*v.string());
            break;
        case XpcObject::Type::Data:
            byte(kData);
            u32(static_cast<uint32_t>(std::min<size_t>(v.data()->size(), UINT32_MAX)));
            bytes(v.data()->data(), v.data()->size());
            break;
        case XpcObject::Type::Endpoint: {
            const std::string& name = v.endpoint()->name;
            if (name.empty() || name.size() > XpcFrameCodec::kMaxEndpointName)
                return fault("an endpoint name must have 1 to 107 bytes, not " + std::to_string(name.size()));
            byte(kEndpoint);
            u32(static_cast<uint32_t>(name.size()));
            bytes(name.data(), name.size());
            break;
        }
        case XpcObject::Type::Array:
            if (depth + 1 > m_maxDepth)
                return tooDeep();
            byte(kArray);
            u32(static_cast<uint32_t>(std::min<size_t>(v.array()->size(), UINT32_MAX)));
            for (const XpcObject& item : *v.array())
                if (Status s = checked(value(item, depth + 1)); !s.ok())
                    return s;
            break;
        case XpcObject::Type::Dict:
            return dict(*v.dict(), depth);
        }
        return checked({});
    }

    Status dict(const XpcDict& d, size_t depth)
    {
        if (depth + 1 > m_maxDepth)
            return tooDeep();
        byte(kDict);
        u32(static_cast<uint32_t>(std::min<size_t>(d.size(), UINT32_MAX)));
        // std::map orders keys by their bytes, as the format asks. Repairing a key could break that order or
        // make two keys equal, so keys are sent only as they are and must be valid UTF-8.
        for (const auto& [key, item] : d) {
            if (!isValidUtf8(key))
                return fault("a dictionary key is not valid UTF-8");
            u32(static_cast<uint32_t>(key.size()));
            bytes(key.data(), key.size());
            if (Status s = checked(value(item, depth + 1)); !s.ok())
                return s;
        }
        return checked({});
    }

    Result<std::vector<uint8_t>> finish()
    {
        const size_t payload = m_out.size() - XpcFrameCodec::kHeaderBytes;
        if (payload > m_maxBytes)
            return tooBig();
        for (size_t i = 0; i < 4; ++i)
            m_out[i] = static_cast<uint8_t>(payload >> (24 - 8 * i));
        return std::move(m_out);
    }

private:
    Status checked(Status s)
    {
        if (s.ok() && m_out.size() - XpcFrameCodec::kHeaderBytes > m_maxBytes)
            return tooBig();
        return s;
    }
    Status tooBig()
    {
        return Status::error(
            EMSGSIZE, "the message exceeds the frame limit of " + std::to_string(m_maxBytes) + " bytes");
    }
    Status tooDeep() { return fault("the message nests deeper than " + std::to_string(m_maxDepth) + " levels"); }

    void byte(uint8_t b) { m_out.push_back(b); }
    void u32(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            m_out.push_back(static_cast<uint8_t>(v >> shift));
    }
    void u64(uint64_t v)
    {
        for (int shift = 56; shift >= 0; shift -= 8)
            m_out.push_back(static_cast<uint8_t>(v >> shift));
    }
    void bytes(const void* p, size_t n)
    {
        const auto* b = static_cast<const uint8_t*>(p);
        m_out.insert(m_out.end(), b, b + n);
    }
    void text(const std::string& s)
    {
        if (isValidUtf8(s)) {
            u32(static_cast<uint32_t>(s.size()));
            bytes(s.data(), s.size());
            return;
        }
        std::string repaired;
        uint32_t cp = 0;
        for (size_t i = 0; i < s.size();) {
            const size_t n = decodeUtf8(s, i, cp);
            if (n == 0) {
                appendUtf8(repaired, 0xFFFD);
                ++i;
            } else {
                repaired.append(s, i, n);
                i += n;
            }
        }
        u32(static_cast<uint32_t>(repaired.size()));
        bytes(repaired.data(), repaired.size());
    }

    const size_t m_maxBytes;
    const size_t m_maxDepth;
    std::vector<uint8_t> m_out;
};

class Decoder {
public:
    Decoder(std::span<const uint8_t> in, const XpcLimits& limits)
        : m_in(in)
        , m_maxDepth(effectiveDepth(limits))
    {
    }

    Result<XpcDict> message()
    {
        uint8_t tag = 0;
        if (!byte(tag))
            return fault("the payload is empty");
        if (tag != kDict)
            return fault("the message is not a dictionary");
        XpcDict d;
        if (Status s = dict(d, 0); !s.ok())
            return s;
        if (m_pos != m_in.size())
            return fault(std::to_string(m_in.size() - m_pos) + " bytes follow the message");
        return d;
    }

private:
    Status value(XpcObject& out, size_t depth)
    {
        const size_t at = m_pos;
        uint8_t tag = 0;
        if (!byte(tag))
            return truncated();
        switch (tag) {
        case kAbsent:
            out = XpcObject();
            return {};
        case kInteger: {
            uint64_t v = 0;
            if (!u64(v))
                return truncated();
            out = XpcObject(static_cast<long long>(v));
            return {};
        }
        case kFalse:
        case kTrue:
            out = XpcObject(tag == kTrue);
            return {};
        case kReal: {
            uint64_t bits = 0;
            if (!u64(bits))
                return truncated();
            double d = 0;
            std::memcpy(&d, &bits, sizeof d);
            out = XpcObject(d);
            return {};
        }
        case kString: {
            std::string s;
            if (Status st = text(s); !st.ok())
                return st;
            out = XpcObject(std::move(s));
            return {};
        }
        case kData: {
            uint32_t n = 0;
            if (!u32(n) || remaining() < n)
                return truncated();
            out = XpcObject(PlistData(m_in.begin() + m_pos, m_in.begin() + m_pos + n));
            m_pos += n;
            return {};
        }
        case kEndpoint: {
            uint32_t n = 0;
            if (!u32(n) || remaining() < n)
                return truncated();
            if (n == 0 || n > XpcFrameCodec::kMaxEndpointName)
                return fault("an endpoint name of " + std::to_string(n) + " bytes");
            XpcEndpoint e;
            e.name.assign(reinterpret_cast<const char*>(m_in.data() + m_pos), n);
            m_pos += n;
            out = XpcObject(std::move(e));
            return {};
        }
        case kArray: {
            if (depth + 2 > m_maxDepth)
                return tooDeep();
            uint32_t n = 0;
            if (!u32(n))
                return truncated();
            // Every value takes at least one byte: a count beyond what is left is a lie, caught before any
            // memory is reserved for it.
            if (n > remaining())
                return truncated();
            XpcArray items(n);
            for (XpcObject& item : items)
                if (Status s = value(item, depth + 1); !s.ok())
                    return s;
            out = XpcObject(std::move(items));
            return {};
        }
        case kDict: {
            if (depth + 2 > m_maxDepth)
                return tooDeep();
            XpcDict d;
            if (Status s = dict(d, depth + 1); !s.ok())
                return s;
            out = XpcObject(std::move(d));
            return {};
        }
        default:
            return fault("unknown type tag " + std::to_string(tag) + " at offset " + std::to_string(at));
        }
    }

    Status dict(XpcDict& d, size_t depth)
    {
        uint32_t n = 0;
        if (!u32(n))
            return truncated();
        if (n > remaining() / 5) // a key length and a tag at the least
            return truncated();
        const std::string* previous = nullptr;
        for (uint32_t i = 0; i < n; ++i) {
            std::string key;
            if (Status s = text(key); !s.ok())
                return s;
            if (previous && !(*previous < key))
                return fault("dictionary keys are repeated or out of order");
            XpcObject item;
            if (Status s = value(item, depth); !s.ok())
                return s;
            auto it = d.emplace_hint(d.end(), std::move(key), std::move(item));
            previous = &it->first;
        }
        return {};
    }

    Status text(std::string& out)
    {
        uint32_t n = 0;
        if (!u32(n) || remaining() < n)
            return truncated();
        out.assign(reinterpret_cast<const char*>(m_in.data() + m_pos), n);
        m_pos += n;
        if (!isValidUtf8(out))
            return fault("a string is not valid UTF-8");
        return {};
    }

    size_t remaining() const { return m_in.size() - m_pos; }
    bool byte(uint8_t& b)
    {
        if (remaining() < 1)
            return false;
        b = m_in[m_pos++];
        return true;
    }
    bool u32(uint32_t& v)
    {
        if (remaining() < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | m_in[m_pos++];
        return true;
    }
    bool u64(uint64_t& v)
    {
        if (remaining() < 8)
            return false;
        v = 0;
        for (int i = 0; i < 8; ++i)
            v = (v << 8) | m_in[m_pos++];
        return true;
    }
    Status truncated() { return fault("the payload ends inside a value"); }
    Status tooDeep() { return fault("the message nests deeper than " + std::to_string(m_maxDepth) + " levels"); }

    std::span<const uint8_t> m_in;
    size_t m_pos = 0;
    const size_t m_maxDepth;
};

} // namespace

Result<std::vector<uint8_t>> XpcFrameCodec::encode(const XpcDict& message, const XpcLimits& limits)
{
    Encoder encoder(limits);
    if (Status s = encoder.dict(message, 0); !s.ok())
        return s;
    return encoder.finish();
}

Result<XpcDict> XpcFrameCodec::decodePayload(std::span<const uint8_t> payload, const XpcLimits& limits)
{
    if (payload.size() > limits.maxFrameBytes)
        return Status::error(EMSGSIZE,
            "a frame of " + std::to_string(payload.size()) + " bytes exceeds the limit of "
                + std::to_string(limits.maxFrameBytes));
    if (effectiveDepth(limits) < 1)
        return fault("the message nests deeper than 0 levels");
    return Decoder(payload, limits).message();
}

XpcFrameDecoder::XpcFrameDecoder(XpcLimits limits)
    : m_limits(limits)
{
}

void XpcFrameDecoder::feed(std::span<const uint8_t> bytes)
{
    if (!m_error.empty())
        return;
    if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

XpcFrameDecoder::Outcome XpcFrameDecoder::next()
{
    Outcome outcome;
    if (!m_error.empty()) {
        outcome.state = State::Error;
        outcome.error = m_error;
        return outcome;
    }
    if (buffered() < XpcFrameCodec::kHeaderBytes)
        return outcome;
    const uint8_t* head = m_buffer.data() + m_start;
    const size_t length = (size_t { head[0] } << 24) | (size_t { head[1] } << 16) | (size_t { head[2] } << 8) | head[3];
    if (length == 0 || length > m_limits.maxFrameBytes) {
        m_error = length == 0 ? std::string("the payload is empty")
                              : "a frame of " + std::to_string(length) + " bytes exceeds the limit of "
                + std::to_string(m_limits.maxFrameBytes);
        m_buffer.clear();
        m_start = 0;
        outcome.state = State::Error;
        outcome.error = m_error;
        return outcome;
    }
    if (buffered() - XpcFrameCodec::kHeaderBytes < length)
        return outcome;
    auto decoded
        = XpcFrameCodec::decodePayload(std::span<const uint8_t>(head + XpcFrameCodec::kHeaderBytes, length), m_limits);
    m_start += XpcFrameCodec::kHeaderBytes + length;
    if (!decoded.ok()) {
        m_error = decoded.status().message();
        m_buffer.clear();
        m_start = 0;
        outcome.state = State::Error;
        outcome.error = m_error;
        return outcome;
    }
    outcome.state = State::Message;
    outcome.message = std::move(decoded.value());
    return outcome;
}

} // namespace corvantis
