// Master files and orders travel as CP932 and the station writes CP932 back
// (exports, the files it hands the host). Whatever decodes without a
// replacement must encode back to the bytes it came from, except where CP932
// has two codes for one character (the NEC and IBM rows of the same kanji or
// symbol): there the written code must read back as the same character.
#include "base/Cp932.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool decodesCleanly(const QByteArray &bytes)
{
    // A lead byte at the very end has no trail byte to pair with: a decoder
    // that drops it silently shows it once a space follows the input.
    const QString text = Cp932::decode(bytes);
    const QString probe = Cp932::decode(bytes + ' ');
    return !probe.isNull() && !probe.contains(QChar::ReplacementCharacter) && probe == text + u' ';
}

void checkRoundTrip(const QByteArray &bytes)
{
    if (!decodesCleanly(bytes))
        return;
    const QString text = Cp932::decode(bytes);
    const QByteArray written = Cp932::encode(text);
    if (written == bytes)
        return;
    // A twin code replaces a code of the same length; nothing is dropped.
    if (written.size() != bytes.size() || Cp932::decode(written) != text)
        abort();
    // The second time round nothing may move any more.
    if (Cp932::encode(Cp932::decode(written)) != written)
        abort();
}

} // namespace

// Mutation rarely lands on the codes the tables hold, and the tables are not
// instrumented to guide it there, so every one- and two-byte code is tried
// once at start.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (int first = 0; first < 256; ++first) {
        checkRoundTrip(QByteArray(1, char(first)));
        for (int second = 0; second < 256; ++second) {
            const char pair[] = { char(first), char(second) };
            checkRoundTrip(QByteArray(pair, 2));
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    checkRoundTrip(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
