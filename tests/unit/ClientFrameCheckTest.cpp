#include "ClientFrameCheck.h"

#include <gtest/gtest.h>

using namespace core;

namespace {

QByteArray frame(qsizetype length, bool masked)
{
    QByteArray f;
    f.append(char(0x81));
    const char mask = masked ? char(0x80) : char(0);
    if (length < 126) {
        f.append(char(mask | length));
    } else if (length < 65536) {
        f.append(char(mask | 126));
        f.append(char(length >> 8)).append(char(length & 0xff));
    } else {
        f.append(char(mask | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            f.append(char((quint64(length) >> shift) & 0xff));
    }
    if (masked)
        f.append("\x01\x02\x03\x04", 4);
    return f + QByteArray(length, 'x');
}

// Feeds the stream the way bytes arrive from a socket, `chunk` at a time; the offset (from the
// stream's start) of the first unmasked frame found, or -1.
qint64 firstUnmasked(const QByteArray& stream, qsizetype chunk)
{
    ClientFrameCheck check(0);
    for (qsizetype end = chunk;; end += chunk) {
        const qsizetype have = std::min(end, stream.size());
        while (check.at() + check.need() <= have) {
            const qint64 at = check.at();
            if (!check.take(stream.mid(at, check.need())))
                return at;
        }
        if (have == stream.size())
            return -1;
    }
}

} // namespace

TEST(ClientFrameCheck, FindsTheFirstUnmaskedFrameWhateverTheLengthFormAndArrival)
{
    const QByteArray masked = frame(5, true) + frame(125, true) + frame(126, true) + frame(70000, true) + frame(0, true);
    for (const qsizetype chunk : {qsizetype(1), qsizetype(3), qsizetype(1000), masked.size() + 100}) {
        EXPECT_EQ(firstUnmasked(masked, chunk), -1) << chunk;
        EXPECT_EQ(firstUnmasked(masked + frame(3, false) + frame(3, true), chunk), masked.size()) << chunk;
        EXPECT_EQ(firstUnmasked(frame(300, false), chunk), 0) << chunk;
    }
}
