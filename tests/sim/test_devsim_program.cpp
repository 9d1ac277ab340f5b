// The kestra-devsim program: its output, its table and its clean stop.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <sstream>

#include "SimHost.h"

using namespace kestra::simtest;

TEST(DevsimProgram, ServesItsTableUntilTerminated) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string table = dir.filePath("table").toStdString();
  QProcess proc;
  proc.start(KESTRA_DEVSIM_PATH,
             {"-n", "3", "--table", QString::fromStdString(table), "--ident", "KestraGangB7 X"});
  ASSERT_TRUE(proc.waitForStarted(10000));
  std::string out;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        out += proc.readAllStandardOutput().toStdString();
        return out.find("export KESTRA_SERIAL_TABLE=" + table + "\n") != std::string::npos;
      },
      10000))
      << out;
  EXPECT_NE(out.find("table " + table + "\n"), std::string::npos);

  std::ifstream f(table);
  std::vector<std::string> ports;
  std::string line;
  while (std::getline(f, line)) {
    const auto tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    EXPECT_EQ(line.substr(0, tab), "\\Device\\VCP" + std::to_string(ports.size()));
    ports.push_back(line.substr(tab + 1));
    EXPECT_EQ(ports.back().rfind("pts/", 0), 0u) << line;
    EXPECT_NE(out.find(ports.back()), std::string::npos);
  }
  ASSERT_EQ(ports.size(), 3u);

  for (const auto& port : ports) {
    HostPort host("/dev/" + port);
    ASSERT_TRUE(host.Open()) << port;
    auto r = host.Transact(Packet(0x3D, 0, {}));
    ASSERT_TRUE(r) << port;
    EXPECT_STREQ(reinterpret_cast<const char*>(&(*r)[28]), "KestraGangB7 X");
  }

  ::kill(static_cast<pid_t>(proc.processId()), SIGTERM);
  ASSERT_TRUE(proc.waitForFinished(10000));
  EXPECT_EQ(proc.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(proc.exitCode(), 0) << proc.readAllStandardError().toStdString();
  EXPECT_FALSE(std::ifstream(table).good());
}

TEST(DevsimProgram, RefusesABadDeviceCount) {
  QProcess proc;
  proc.start(KESTRA_DEVSIM_PATH, {"-n", "9"});
  ASSERT_TRUE(proc.waitForFinished(10000));
  EXPECT_EQ(proc.exitCode(), 2);
}
