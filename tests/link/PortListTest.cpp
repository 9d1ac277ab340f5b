// Listing the programmers' ports over a device table file and real ptys.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <string>
#include <vector>

#include "Pty.h"
#include "link/PortList.h"
#include "platform/DeviceTable.h"
#include "ui/SortedComboBox.h"

using namespace kestra;
using kestra::link::test::Fd;
using kestra::link::test::Pty;

namespace {

class PortList : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    table_ = dir_.filePath("serialcomm.txt").toStdString();
    ::setenv("KESTRA_SERIAL_TABLE", table_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("KESTRA_SERIAL_TABLE"); }

  void WriteTable(const std::vector<std::pair<std::string, std::string>>& rows,
                  const std::string& extra = "") {
    std::ofstream out(table_, std::ios::trunc);
    for (const auto& [value, port] : rows) out << value << '\t' << port << '\n';
    out << extra;
  }

  // A port name that reaches the pty through a link named `name` in the temp dir.
  std::string LinkedPort(const Pty& pty, const std::string& name) {
    const std::string link = dir_.filePath(QString::fromStdString(name)).toStdString();
    EXPECT_EQ(::symlink(pty.Path().c_str(), link.c_str()), 0);
    return ".." + link;  // opened as "/dev/" + name
  }

  std::vector<std::string> Items(const ui::TSortedComboBox& box) {
    std::vector<std::string> v;
    for (int i = 0; i < box.Count(); ++i) v.push_back(box.Item(i));
    return v;
  }

  QTemporaryDir dir_;
  std::string table_;
};

TEST_F(PortList, OnlyVirtualComPortsAreListed) {
  Pty vcp, serial, lower, shortName;
  WriteTable({{"\\Device\\Serial0", serial.PortName()},
              {"\\Device\\VCP0", vcp.PortName()},
              {"\\device\\vcp1", lower.PortName()},
              {"\\Device\\VC", shortName.PortName()},
              {"\\Device\\VCP7", "pts/does-not-exist"}},
             "a line without a tab\n");
  EXPECT_EQ(link::ListVirtualComPorts(), std::vector<std::string>{vcp.PortName()});
  ui::TSortedComboBox box;
  link::EnumVirtualComPorts(box, link::NoDeviceTextConsole);
  EXPECT_EQ(Items(box), std::vector<std::string>{vcp.PortName()});
  EXPECT_EQ(box.Text(), vcp.PortName());
}

TEST_F(PortList, SortedListAndTheLastItemAsText) {
  Pty a, b;
  const std::string com3 = LinkedPort(a, "COM3");
  const std::string com12 = LinkedPort(b, "COM12");
  WriteTable({{"\\Device\\VCP0", com3}, {"\\Device\\VCP1", com12}});
  EXPECT_EQ(link::ListVirtualComPorts(), (std::vector<std::string>{com3, com12}));  // table order
  ui::TSortedComboBox box;
  link::EnumVirtualComPorts(box, link::NoDeviceTextConsole);
  EXPECT_EQ(Items(box), (std::vector<std::string>{com12, com3}));
  EXPECT_EQ(box.Text(), com3);
}

TEST_F(PortList, PortHeldElsewhereIsLeftOut) {
  Pty held, free;
  WriteTable({{"\\Device\\VCP0", held.PortName()}, {"\\Device\\VCP1", free.PortName()}});
  Fd holder(::open(held.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_GE(holder.get(), 0);
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(link::ListVirtualComPorts(), std::vector<std::string>{free.PortName()});
  EXPECT_FALSE(platform::ProbeExclusiveOpen(held.PortName()));
  // The probe itself leaves no lock behind.
  EXPECT_TRUE(platform::ProbeExclusiveOpen(free.PortName()));
  EXPECT_TRUE(platform::ProbeExclusiveOpen(free.PortName()));
}

TEST_F(PortList, NoDeviceTexts) {
  Pty serial;
  WriteTable({{"\\Device\\Serial0", serial.PortName()}});
  ui::TSortedComboBox console, upgrade;
  link::EnumVirtualComPorts(console, link::NoDeviceTextConsole);
  link::EnumVirtualComPorts(upgrade, link::NoDeviceTextUpgrade);
  EXPECT_EQ(console.Count(), 0);
  EXPECT_EQ(console.Text(), "No Device Availiable!");
  EXPECT_EQ(upgrade.Text(), "No Device Availiable");
}

TEST_F(PortList, MissingTableFileListsNothing) {
  ::setenv("KESTRA_SERIAL_TABLE", dir_.filePath("absent.txt").toStdString().c_str(), 1);
  EXPECT_TRUE(platform::ReadSerialDeviceTable().empty());
  EXPECT_TRUE(link::ListVirtualComPorts().empty());
}

TEST_F(PortList, TableFileLines) {
  WriteTable({{"\\Device\\VCP0", "serial/by-id/usb-X-if00"}}, "\\Device\\VCP1\tpts/9\r\n\n");
  const auto table = platform::ReadSerialDeviceTable();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].ValueName, "\\Device\\VCP0");
  EXPECT_EQ(table[0].PortName, "serial/by-id/usb-X-if00");
  EXPECT_EQ(table[1].PortName, "pts/9");
}

TEST(SystemDeviceTable, NamesFollowTheDeviceMapForm) {
  ::unsetenv("KESTRA_SERIAL_TABLE");
  for (const auto& e : platform::ReadSerialDeviceTable()) {
    const bool vcp = e.ValueName.rfind("\\Device\\VCP", 0) == 0;
    const bool other = e.ValueName.rfind("\\Device\\Serial", 0) == 0;
    EXPECT_TRUE(vcp || other) << e.ValueName;
    EXPECT_FALSE(e.PortName.empty());
    if (vcp) {
      EXPECT_TRUE(e.PortName.find("USB") != std::string::npos ||
                  e.PortName.find("ACM") != std::string::npos ||
                  e.PortName.rfind("serial/by-id/", 0) == 0)
          << e.PortName;
    }
  }
}

}  // namespace
