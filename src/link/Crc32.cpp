#include "Crc32.h"

#include <array>

namespace {

// Eight tables let the loop take eight bytes a step (slice-by-8), which keeps
// checksumming well ahead of the link even on a slow machine.
using Tables = std::array<std::array<quint32, 256>, 8>;

Tables makeTables()
{
    Tables t {};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (quint32 i = 0; i < 256; ++i) {
        for (int s = 1; s < 8; ++s)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
    return t;
}

const Tables &tables()
{
    static const Tables t = makeTables();
    return t;
}

} // namespace

void Crc32::update(QByteArrayView data)
{
    const Tables &t = tables();
    const auto *p = reinterpret_cast<const uchar *>(data.data());
    qsizetype n = data.size();
    quint32 c = m_state;
    while (n >= 8) {
        const quint32 lo
            = c ^ (quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24);
        const quint32 hi
            = quint32(p[4]) | quint32(p[5]) << 8 | quint32(p[6]) << 16 | quint32(p[7]) << 24;
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24]
            ^ t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- > 0)
        c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    m_state = c;
}
