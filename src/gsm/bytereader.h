// A bounded reader over received octets. Every decoder of data from the modem or the network reads
// through one of these, so no length field, however large, can make it read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrel {

class TByteReader {
public:
    TByteReader() = default;
    explicit TByteReader(std::string_view data) : m_data(data) {}

    // The next octet; false (and b untouched) at the end.
    bool Next(uint8_t &b)
    {
        if (m_pos >= m_data.size())
            return false;
        b = static_cast<uint8_t>(m_data[m_pos++]);
        return true;
    }
    // The next octet without consuming it.
    bool Peek(uint8_t &b) const
    {
        if (m_pos >= m_data.size())
            return false;
        b = static_cast<uint8_t>(m_data[m_pos]);
        return true;
    }
    // Exactly n octets, or nothing (and nothing consumed) when fewer remain.
    std::optional<std::string_view> Take(size_t n)
    {
        if (n > Remaining())
            return std::nullopt;
        std::string_view part = m_data.substr(m_pos, n);
        m_pos += n;
        return part;
    }
    // At most n octets: what is there.
    std::string_view TakeUpTo(size_t n)
    {
        std::string_view part = m_data.substr(m_pos, n < Remaining() ? n : Remaining());
        m_pos += part.size();
        return part;
    }
    std::string_view TakeRest() { return TakeUpTo(Remaining()); }
    bool Skip(size_t n)
    {
        if (n > Remaining())
            return false;
        m_pos += n;
        return true;
    }

    size_t Remaining() const { return m_data.size() - m_pos; }
    size_t Position() const { return m_pos; }
    bool AtEnd() const { return m_pos >= m_data.size(); }

private:
    std::string_view m_data;
    size_t m_pos = 0;
};

} // namespace kestrel
