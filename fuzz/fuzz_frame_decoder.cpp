// The frame decoder takes whatever pieces the transport hands it. Whatever
// the bytes and however they are cut, it must hand out the same frames, each
// one re-encoding to the bytes it came from, and hold no more than one
// frame's worth of input while it waits for more.
#include "link/LinkFrame.h"

#include <QList>

#include <cstdint>
#include <cstdlib>

namespace {

struct Outcome
{
    QList<Link::Frame> frames;
    bool failed = false;
};

// Feeds the input step bytes at a time, taking every frame as soon as it is
// whole, as a session does.
Outcome decode(QByteArrayView input, bool hunting, qsizetype step)
{
    Link::FrameDecoder decoder(hunting);
    Outcome outcome;
    for (qsizetype at = 0; at < input.size() && !outcome.failed; at += step) {
        decoder.feed(input.sliced(at, qMin(step, input.size() - at)));
        for (;;) {
            Link::Frame frame;
            QString error;
            const Link::FrameDecoder::Result result = decoder.next(&frame, &error);
            if (result == Link::FrameDecoder::Result::NeedMore)
                break;
            if (result == Link::FrameDecoder::Result::Error) {
                if (error.isEmpty())
                    abort(); // an error the session could not report
                outcome.failed = true;
                break;
            }
            if (quint32(frame.payload.size()) > Link::MaxPayload)
                abort();
            outcome.frames.append(frame);
        }
        if (!outcome.failed
            && decoder.buffered() > Link::HeaderSize + Link::MaxPayload + Link::TrailerSize)
            abort(); // memory must stay bounded whatever a peer sends
    }
    return outcome;
}

bool sameFrames(const QList<Link::Frame> &a, const QList<Link::Frame> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].payload != b[i].payload)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses the mode and how the rest is cut into pieces.
    const bool hunting = data[0] & 1;
    const qsizetype step = 1 + (data[0] >> 1);
    const QByteArrayView input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    const Outcome whole = decode(input, hunting, qMax<qsizetype>(1, input.size()));
    const Outcome pieces = decode(input, hunting, step);
    if (whole.failed != pieces.failed || !sameFrames(whole.frames, pieces.frames))
        abort();

    // On TCP nothing is skipped: the frames re-encode to the input's start.
    if (!hunting) {
        QByteArray encoded;
        for (const Link::Frame &frame : whole.frames)
            encoded += Link::encodeFrame(frame.type, frame.payload);
        if (!input.startsWith(encoded))
            abort();
    }
    return 0;
}
