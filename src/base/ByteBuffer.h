#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstring>

// Bytes gathered value by value on a hot path: a QByteArray kept at its
// capacity with a count of the bytes used, so that adding costs a plain copy
// instead of QByteArray::append's checks, and clearing keeps the room for
// the next use.
class ByteBuffer
{
public:
    qsizetype size() const { return m_used; }
    const char *constData() const { return m_bytes.constData(); }
    void clear() { m_used = 0; }

    // Room for bytes more after the used ones; what is written there counts
    // once setEnd() is given where it ends.
    char *room(qsizetype bytes)
    {
        if (m_bytes.size() < m_used + bytes)
            m_bytes.resize(2 * (m_used + bytes));
        return m_bytes.data() + m_used;
    }
    void setEnd(const char *end) { m_used = end - m_bytes.constData(); }

    void append(QByteArrayView bytes)
    {
        char *out = room(bytes.size());
        if (!bytes.isEmpty())
            std::memcpy(out, bytes.data(), size_t(bytes.size()));
        m_used += bytes.size();
    }

private:
    QByteArray m_bytes;
    qsizetype m_used = 0;
};
