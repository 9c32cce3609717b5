// Master files and orders travel as CP932 and the station writes CP932 back
// (exports, the files it hands the host). Whatever decodes without a
// replacement must encode back to the bytes it came from, except where CP932
// has two codes for one character (NEC and IBM rows of the same kanji): there
// the written bytes must at least read back as the same text.
#include "base/TextFile.h"

#include <cstdint>
#include <cstdlib>

namespace {

void checkRoundTrip(const QByteArray &bytes)
{
    const QString text = TextFile::decode(bytes);
    // A refusal (null text) or a replacement marks bytes no table decodes.
    if (text.contains(QChar::ReplacementCharacter) || (text.isNull() && !bytes.isEmpty()))
        return;
    const QByteArray written = TextFile::encode(text);
    if (written == bytes)
        return;
    if (TextFile::decode(written) != text)
        abort();
    // The second time round nothing may move any more.
    if (TextFile::encode(TextFile::decode(written)) != written)
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
