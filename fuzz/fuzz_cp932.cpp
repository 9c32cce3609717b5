// Master files and orders travel as CP932 and the station writes CP932 back
// (exports, the files it hands the host). Whatever decodes without a
// replacement must encode back to the bytes it came from, except where CP932
// has two codes for one character (NEC and IBM rows of the same kanji): there
// the written bytes must at least read back as the same text.
#include "base/TextFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = TextFile::decode(bytes);
    // A refusal (null text) or a replacement marks bytes no table decodes.
    if (text.contains(QChar::ReplacementCharacter) || (text.isNull() && !bytes.isEmpty()))
        return 0;
    const QByteArray written = TextFile::encode(text);
    if (written == bytes)
        return 0;
    if (TextFile::decode(written) != text)
        abort();
    // The second time round nothing may move any more.
    if (TextFile::encode(TextFile::decode(written)) != written)
        abort();
    return 0;
}
