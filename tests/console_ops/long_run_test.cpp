// A long stand-alone production run through the window: the production logs
// and the exit log together hold every memo line of the session exactly once,
// while the memo view keeps only its newest lines.
#include <QDir>
#include <QFileInfo>
#include <algorithm>

#include "ConsoleFixture.h"
#include "console/StandAlone.h"

namespace kestra::console::testing {
namespace {

class LongRun : public ConsoleFixture {
 protected:
  // Log files of the session in the order they were written: the production
  // logs by time of writing, then the exit log.
  QByteArray LogsInOrder(int* productionLogs) const {
    QFileInfoList files =
        QDir(dir.path()).entryInfoList({"RarORi_*.log"}, QDir::Files, QDir::Time | QDir::Reversed);
    *productionLogs = static_cast<int>(files.size());
    files += QDir(dir.path()).entryInfoList({"EPS_*.log"}, QDir::Files);
    QByteArray all;
    for (const QFileInfo& fi : files) {
      QFile f(fi.filePath());
      EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << fi.filePath().toStdString();
      all += f.readAll();
    }
    return all;
  }

  int Chips() const { return static_cast<int>(st.TotalOkCount + st.TotalNgCount); }
};

TEST_F(LongRun, LogFilesHoldEverySessionLineOnceAndTheViewStaysBounded) {
  constexpr int MaxShown = 400;
  // A production log every Gap chips instead of every 2000 keeps the run
  // short; 4 devices at one chip per 10 ms give at most 400 chips/s, so the
  // logs at Gap and 3 x Gap chips lie a second apart and have two names.
  constexpr uint32_t Gap = 200;
  constexpr int Target = 3 * Gap + Gap / 2;
  auto shortenGap = [&] {
    st.LogSaveCounter = std::max(st.LogSaveCounter, ProductionLogEvery - Gap);
  };
  sim::SimOptions options;
  options.standaloneIntervalMs = 10;
  Start(4, options);
  // The programmers hold a job once it has been downloaded.
  SelectChip(0, "PAC5223xx", 3);
  LoadImage(5);
  w->ops->SpdBtnDownLoadClick();
  ASSERT_TRUE(WaitFor([&] {
    for (int k = 0; k < ChannelCount; ++k)
      if (!Has("Channel " + std::to_string(k + 1) + " : Download Success!")) return false;
    return true;
  })) << Dump();
  ui::TMemo& memo = *w->InfoMemo;
  memo.SetMaxLines(MaxShown);
  ASSERT_LT(memo.Count(), MaxShown);
  QStringList session = memo.Lines();
  QObject::connect(&memo, &ui::TMemo::LineAdded, [&](const QString& l) { session << l; });
  shortenGap();

  Dev(3).SetStandaloneResult(0x31);  // one channel's chips fail
  w->ops->SpdBtnStartPrgClick();
  ASSERT_TRUE(WaitFor(
      [&] {
        shortenGap();
        return Chips() >= Target;
      },
      300000))
      << Chips() << " chips";
  for (int k = 0; k < ChannelCount; ++k) Dev(k).SetStandaloneInterval(0);
  EXPECT_GT(st.TotalNgCount, 0u);

  // Closing runs no event: the session ends here.
  w->ops->FormClose();
  // The view drops a tenth of its maximum at a time.
  EXPECT_LE(memo.Count(), MaxShown);
  EXPECT_GE(memo.Count(), MaxShown - MaxShown / 10);
  EXPECT_EQ(memo.blockCount(), memo.Count());
  EXPECT_EQ(memo.Lines(), session.mid(session.size() - memo.Count()));
  int productionLogs = 0;
  const QByteArray logs = LogsInOrder(&productionLogs);
  const QByteArray expected = (session.join('\n') + '\n').toUtf8();
  EXPECT_GE(productionLogs, 2);  // fewer when two were written within one second
  EXPECT_EQ(logs.size(), expected.size());
  EXPECT_TRUE(logs == expected);  // no line twice, none missing, in order
  EXPECT_EQ(farm->ViolationCount(), 0);
}

}  // namespace
}  // namespace kestra::console::testing
