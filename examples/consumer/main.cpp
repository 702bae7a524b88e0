// Uses several QvUtility families through the installed headers and library: builds a
// payload in a buffer, escapes it, walks its start codes, writes and reads bit fields, and
// prints its digests, Base64 text and an overlap score. Exit status 0 when all agree.

#include <QvBase64.h>
#include <QvBitStream.h>
#include <QvBuffer.h>
#include <QvMD5.h>
#include <QvRectF.h>
#include <QvSHA1.h>
#include <QvStartCode.h>
#include <QvVersion.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main() {
    std::printf("QvUtility %s\n", QV_VERSION_STRING);
    int failures = 0;

    // A stream of three start codes, assembled by appending and prepending.
    const unsigned char sps[] = {0x00, 0x00, 0x01, 0xB3, 0x14, 0x00, 0xB4};
    const unsigned char pic[] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF};
    const unsigned char end[] = {0x00, 0x00, 0x01, 0xB7};
    QvBuffer stream;
    stream.Add(pic, sizeof pic);
    stream.Add(end, sizeof end);
    QvBuffer whole;
    whole.ReverseAdd(stream.m_pData, stream.m_lSize);
    whole.ReverseAdd(sps, sizeof sps);

    QvStartCode sc(whole.End() - whole.m_lSize, whole.m_lSize, 0);
    int codes = 0;
    while (const unsigned int code = sc.Next()) {
        std::printf("start code 0x%03x at %d\n", code, static_cast<int>(sc.GetPos()));
        ++codes;
        sc.Skip();
    }
    failures += codes != 3;

    // Escape a payload that imitates a start code F5, and restore it in place.
    unsigned char payload[] = {0x00, 0x00, 0x01, 0xF5, 0x42};
    unsigned char escaped[sizeof payload + sizeof payload / 4];
    const int n = QvStartCode::RemoveRaceBytes(payload, sizeof payload, escaped);
    const int m = QvStartCode::RestoreRaceBytes(escaped, n, escaped);
    failures += n != 6 || m != 5 || std::memcmp(escaped, payload, sizeof payload) != 0;

    // Bit fields and an Exp-Golomb code.
    unsigned char bits[4];
    QvBitStream w(bits, sizeof bits, 1);
    w.PutBits(0x5, 3);
    w.PutBits(0x2, 3);  // ue(v) 1 is 010
    w.PutMarkedInt7(100);
    QvBitStream r(bits, sizeof bits, 0);
    int marked = 0;
    const unsigned int field = r.GetBits(3), ue = r.GetUE();
    const int ok = r.GetMarkedInt7(marked);
    failures += field != 5 || ue != 1 || !ok || marked != 100;

    // Digests and Base64 of the stream.
    QvMD5 md5;
    QvSHA1 sha1;
    md5.Init();
    sha1.Init();
    md5.Append(whole.End() - whole.m_lSize, whole.m_lSize);
    sha1.Append(whole.End() - whole.m_lSize, whole.m_lSize);
    md5.Final();
    sha1.Final();
    std::printf("MD5   %s\nSHA-1 %s\n", static_cast<const char*>(md5.GetString()),
                static_cast<const char*>(sha1.GetString()));
    unsigned char oneShot[QvMD5::MD5_SIZE];
    QvMD5::Encode(whole.End() - whole.m_lSize, whole.m_lSize, oneShot, sizeof oneShot);
    failures += std::memcmp(oneShot, md5.GetBuffer()->m_pData, QvMD5::MD5_SIZE) != 0;

    QvBase64 b64;
    b64.Encode(reinterpret_cast<const char*>(whole.End() - whole.m_lSize), whole.m_lSize);
    std::printf("Base64 %s\n", b64.GetString());
    QvBase64 back;
    const int len = back.Decode(b64.GetString(), static_cast<int>(std::strlen(b64.GetString())));
    failures += len != whole.m_lSize || std::memcmp(back.GetString(), whole.End() - whole.m_lSize, len) != 0;

    // Two regions of a 1920x1080 picture and how much they overlap.
    QvRectF a, b(0.5, 0.5, 1.5, 1.5);
    a.Full();
    const double overlap = a.Match(b);  // a quarter of each
    b.Clip();                           // now inside the picture: (0.5, 0.5, 1, 1)
    const CRect px = b.GetRect(1920, 1080);
    std::printf("overlap %.2f, clipped region %d,%d-%d,%d\n", overlap, px.left, px.top, px.right, px.bottom);
    failures += overlap != 0.25 || px.left != 960 || px.bottom != 1080;

    std::printf("%s\n", failures ? "FAILED" : "all good");
    return failures ? 1 : 0;
}
