// The outbox against real files: what a run leaves is what the next run sends, in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QString>

#include <filesystem>

#include "events/EventOutbox.h"
#include "support/CapturedMessages.h"
#include "support/TempDir.h"

namespace {

using CalorviewTest::TempDir;

QString Folder(const TempDir& dir) {
    return QString::fromStdString(dir.path().string());
}

QByteArray Id(int n) {
    return "id-" + QByteArray::number(n);
}

void AppendNumbered(EventOutbox& outbox, int from, int to) {
    for (int n = from; n <= to; ++n) {
        outbox.Append(Id(n), "calorview/s/alarm/start", "{\"n\":" + QByteArray::number(n) + "}");
    }
}

// The ids a fresh outbox on `dir` reads back, in order.
std::vector<QByteArray> ReadBack(const TempDir& dir) {
    EventOutbox outbox(Folder(dir));
    EXPECT_TRUE(outbox.Open());
    std::vector<QByteArray> ids;
    for (quint64 seq = outbox.FirstSeq(); outbox.Find(seq) != nullptr; ++seq) {
        ids.push_back(outbox.Find(seq)->id);
    }
    return ids;
}

// Writes past `bytes` into any file fail with EFBIG (a short write first when one straddles it),
// as on a full disk, while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : m_previousSignal(::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        const rlimit limit{bytes, m_previous.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        ::signal(SIGXFSZ, m_previousSignal);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_previous{};
    sighandler_t m_previousSignal;
};

}  // namespace

// A write that fails part-way leaves no fragment for the next line to be glued to, and a
// compaction that fails leaves the old file in use: every event stays on disk, whole, in order.
TEST(EventOutbox, WritesThatFailLoseNoEventAndBreakNoLine) {
    struct Case {
        const char* name;
        int events;       // appended before the failure, all but the last acknowledged
        bool compaction;  // the failing write is a compaction's (an append's otherwise)
    };
    for (const Case& c : {Case{"append", 2, false}, Case{"compaction", 4200, true}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        CalorviewTest::CapturedMessages log;
        EventOutbox outbox(Folder(dir));
        ASSERT_TRUE(outbox.Open());
        AppendNumbered(outbox, 1, c.events);
        while (outbox.PendingCount() > 1) {
            outbox.Acknowledge(outbox.FirstSeq());
        }
        const auto size = std::filesystem::file_size(dir.file("mqtt-outbox.jsonl"));
        {
            // The append straddles the limit; a compaction's new file (one line) passes it.
            FileSizeLimit limit(c.compaction ? 10 : size + 10);
            outbox.Sync();
            AppendNumbered(outbox, c.events + 1, c.events + 1);
            outbox.Sync();  // tries again and fails again, silently
        }
        AppendNumbered(outbox, c.events + 2, c.events + 2);
        outbox.Sync();
        EXPECT_EQ(log.count("appending to the outbox"), 2) << "failed once, then works again";
        EXPECT_EQ(log.count("cannot be rewritten"), c.compaction ? 1 : 0);
        EXPECT_EQ(ReadBack(dir),
                  (std::vector<QByteArray>{Id(c.events), Id(c.events + 1), Id(c.events + 2)}));
        const std::string text = CalorviewTest::readFile(dir.file("mqtt-outbox.jsonl"));
        for (int n = c.events; n <= c.events + 2; ++n) {
            EXPECT_NE(text.find("\t{\"n\":" + std::to_string(n) + "}\n"), std::string::npos)
                << "a whole line for " << n << " in " << text.substr(0, 400);
        }
    }
}

TEST(EventOutbox, OnlyTheContiguouslyAcknowledgedHeadLeaves) {
    TempDir dir;
    {
        EventOutbox outbox(Folder(dir));
        ASSERT_TRUE(outbox.Open());
        AppendNumbered(outbox, 1, 5);
        // 1, 2 and 4 acknowledged: 4 waits for 3.
        for (quint64 seq : {2, 1, 4}) {  // a fresh outbox numbers its events from 1
            outbox.Acknowledge(seq);
        }
        outbox.Sync();
        EXPECT_EQ(outbox.PendingCount(), 3);
        EXPECT_EQ(outbox.Find(outbox.FirstSeq())->id, Id(3));
        // Left without its destructor's last sync, as a killed process leaves it: the file and
        // the ack file are what the last Sync made.
        const std::vector<QByteArray> expected{Id(3), Id(4), Id(5)};
        EXPECT_EQ(ReadBack(dir), expected);
    }
}

TEST(EventOutbox, TornLineAndUnknownAckIdLoseNothing) {
    TempDir dir;
    const std::string file = dir.file("mqtt-outbox.jsonl");
    CalorviewTest::writeFile(file, "a\tt\t{}\nb\tt\t{}\nc\tt\t{\"cut");
    CalorviewTest::writeFile(dir.file("mqtt-outbox.ack"), "a\n");
    EXPECT_EQ(ReadBack(dir), (std::vector<QByteArray>{"b"})) << "after the acknowledged a; c torn";
    // The read-back rewrote the file with only b; an ack of an id the file lacks sends all.
    CalorviewTest::writeFile(dir.file("mqtt-outbox.ack"), "gone\n");
    EXPECT_EQ(ReadBack(dir), (std::vector<QByteArray>{"b"}));
    EXPECT_EQ(CalorviewTest::readFile(file), "b\tt\t{}\n");
}

TEST(EventOutbox, BeyondItsBoundTheOldestGoAndAreCounted) {
    TempDir dir;
    CalorviewTest::CapturedMessages log;
    EventOutbox outbox(Folder(dir), 3);
    ASSERT_TRUE(outbox.Open());
    AppendNumbered(outbox, 1, 5);
    outbox.Sync();
    EXPECT_EQ(outbox.DroppedCount(), 2u);
    EXPECT_EQ(log.count("2 oldest events dropped"), 1);
    outbox.Acknowledge(1);  // dropped already: changes nothing
    EXPECT_EQ(ReadBack(dir), (std::vector<QByteArray>{Id(3), Id(4), Id(5)}));
}

TEST(EventOutbox, CompactionKeepsThePendingEventsInOrder) {
    TempDir dir;
    EventOutbox outbox(Folder(dir));
    ASSERT_TRUE(outbox.Open());
    AppendNumbered(outbox, 1, 6000);
    for (quint64 seq = outbox.FirstSeq(); seq < outbox.FirstSeq() + 5000;) {
        outbox.Acknowledge(seq);  // advances FirstSeq
        seq = outbox.FirstSeq();
        if (outbox.PendingCount() == 1000) {
            break;
        }
    }
    outbox.Sync();
    const std::string text = CalorviewTest::readFile(dir.file("mqtt-outbox.jsonl"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1000) << "rewritten with the pending";
    const auto ids = ReadBack(dir);
    ASSERT_EQ(ids.size(), 1000u);
    EXPECT_EQ(ids.front(), Id(5001));
    EXPECT_EQ(ids.back(), Id(6000));
}
