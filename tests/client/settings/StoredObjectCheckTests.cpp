// Which INI texts could make QSettings decode a serialised object.
#include <gtest/gtest.h>

#include <QByteArray>

#include "settings/StoredObjectCheck.h"

namespace {

TEST(StoredObjectCheck, FindsEveryWayOfSpellingAnObjectValue) {
    const struct {
        const char* name;
        QByteArray text;
        bool expected;
    } cases[] = {
        {"the program's own file",
         "[Alarm]\nAlarmSoundFile=alarm1.wav\nAlarmSoundPlayTimes=3\n[Video]\n"
         "RecordPath=\"/home/a, b\"\nSnapshotPath=C:\\\\shots\n",
         false},
        {"other typed values", "[Video]\nR=@Rect(1 2 3 4)\nB=@ByteArray(x)\nS=@@text\n", false},
        {"control characters as QSettings writes them",
         "[Lang]\nChineseLang=@String(tr\\0\\x1\\x61riant\\x7f()\n", false},
        {"a cut-off escape at the end", "[Video]\nRecordPath=abc\\", false},
        {"object value", "[Video]\nRecordType=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\0\\x1)\n", true},
        {"date value, other case", "[Video]\nRecordPath=@DATETIME(abc)\n", true},
        {"object split by quotes", "[Video]\nRecordPath=\"@Vari\"\"ant(abc)\"\n", true},
        {"object split by an unknown escape", "[Video]\nRecordPath=@Vari\\qant(abc)\n", true},
        {"named escapes stand for characters that split the words (as QSettings writes a form "
         "feed)",
         "[Video]\nS=@String(@Varia\\f\\tnt(\\0\\x2))\n", false},
        {"object split across lines", "[Video]\nRecordPath=@Vari\\\r\nant(abc)\n", true},
        {"object split across lines the other way", "[Video]\nRecordPath=@Vari\\\n\rant(x)\n",
         true},
        {"a hex escape may be any letter", "[Video]\nRecordPath=@\\x56\"\"ariant(abc)\n", true},
        {"an octal escape may be any letter", "[Video]\nRecordPath=@\\126ariant(abc)\n", true},
        {"escapes keep their low 16 bits", "[Video]\nRecordPath=@\\x10056\"\"ariant(x)\n", true},
        {"text interleaved with NULs",
         "[Video]\nRecordPath=@String(\\0V\\0a\\0r\\0i\\0a\\0n\\0t\\0()\n", true},
        {"the fuzzer's crash",
         QByteArray::fromBase64("W0FsYXJtXQ0KQWxhcm1Tb3VuZFANCltWaWRlbGFybV0NCkFsYXJtU291bmRQD"
                                "QpbVmlkZW9dDQpSZWNvcmRUeXBlPUBWYXJpYW50KFwwXDBcMFx4Qnl0ZUFycm"
                                "F5KFwwXHhmZikNClNuYXBzaG90UGF0aD1hLCBiDQo="),
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MayHoldStoredObject(c.text), c.expected) << c.name;
    }
}

}  // namespace
