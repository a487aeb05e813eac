// Helpers of the velt-archive tests: running the tool and the ffmpeg
// command, reading back a recorded archive, and decoding payloads.
#ifndef TESTS_CLIENT_TOOLS_TOOLTESTUTIL_H_
#define TESTS_CLIENT_TOOLS_TOOLTESTUTIL_H_

#include "client/archive/ArchiveComponents.h"
#include "client/media/FFmpegHolders.h"
#include "tests/client/archive/ArchiveTestUtil.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

namespace tooltest {

// ffmpeg's input options for a moving test picture of 160x120 at 25 fps.
const QStringList kTestPicture = {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25"};

struct ToolRun {
    int exitCode;
    QString out;
    QString err;
};
// Runs velt-archive with `arguments` in `workDir`.
ToolRun runTool(const QStringList &arguments, const QString &workDir);

// Runs the ffmpeg command quietly; false when it is missing or fails.
bool runFfmpeg(const QStringList &arguments, const QString &workDir);
bool haveFfmpeg();

// Local time of kLocalTimeFormat text as ms since the Unix epoch.
int64_t localMs(const char *text);

// The fragments (describe must succeed) and the blocks of each, markers left out.
std::vector<archive::FragmentInfo> fragmentsOf(const QString &dir);
std::vector<std::vector<archivetest::Block>> blocksOf(const QString &dir);

// Decodes payloads (the four-character code already removed) and keeps
// what came out: each picture's luma plane, or each audio frame's sample count.
class Decoder {
public:
    // `parameters` describe a demuxed stream (extradata, length-prefixed
    // H.264); none for self-contained camera payloads.
    explicit Decoder(AVCodecID codec, const AVCodecParameters *parameters = nullptr);
    // False when the decoder refused the bytes.
    bool decode(const QByteArray &bytes);
    // Drains the decoder.
    bool finish();

    std::vector<QByteArray> pictures;
    std::vector<int> audioFrames;

private:
    bool receive();

    media::CodecContextHolder _context;
};

// The first stream of `type` in a media file as libavformat demuxes it.
struct FileStream {
    std::vector<QByteArray> packets;
    std::vector<int64_t> ptsMs;
    std::vector<QByteArray> pictures;  // decoded luma planes, video only
};
FileStream readFileStream(const QString &path, AVMediaType type);

// The payload without its four-character code.
inline QByteArray body(const QByteArray &payload) { return payload.mid(4); }

}  // namespace tooltest

#endif  // TESTS_CLIENT_TOOLS_TOOLTESTUTIL_H_
