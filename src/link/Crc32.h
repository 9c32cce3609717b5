#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// CRC-32 as Ethernet, zlib and PNG compute it: polynomial 0x04C11DB7 taken
// reflected (0xEDB88320), initial value 0xFFFFFFFF, final XOR 0xFFFFFFFF.
// "123456789" gives 0xCBF43926. Feeding the data in pieces gives the same
// result as feeding it at once.
class Crc32
{
public:
    void update(QByteArrayView data);
    quint32 value() const { return m_state ^ 0xFFFFFFFFu; }
    void reset() { m_state = 0xFFFFFFFFu; }

    static quint32 of(QByteArrayView data)
    {
        Crc32 crc;
        crc.update(data);
        return crc.value();
    }

private:
    quint32 m_state = 0xFFFFFFFFu;
};
