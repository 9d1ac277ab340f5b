// A console state with its own memo and gauges and recording hooks, for the
// display-free tests of the channel machine and the stand-alone monitor.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "console/ChannelMachine.h"
#include "console/ChannelProgress.h"
#include "console/ConsoleState.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"

namespace kestra::console::testing {

class MachineFixture : public ::testing::Test {
 protected:
  MachineFixture() {
    st.InfoMemoRef = &memo;
    for (int k = 0; k < ChannelCount; ++k) {
      gauges[k] = std::make_unique<ui::TGauge>();
      st.ChannelGauge[k] = gauges[k].get();
      st.DeviceOnline[k] = 1;
    }
    st.s.FlashSizeKB = 32;
    st.Hooks.SetStatusPanel = [this](int i, const std::string& t) { panels[i] = t; };
    st.Hooks.SetInfoPanel = [this](const std::string& t) { infoPanel = t; };
    st.Hooks.ShowImageSummary = [this] { ++imageSummaries; };
    st.Hooks.ShowInfoData = [this] { ++infoShows; };
  }

  // A status reply on channel ch, as the receive path hands it over.
  void Reply(int ch, uint8_t status) {
    st.PacketBuf(ch)[8] = status;
    DispatchReply(st, ch, status);
  }

  // Replies with status until the channel is idle; the number of replies.
  int ReplyUntilIdle(int ch, uint8_t status, int limit = 10000) {
    int n = 0;
    while (st.ChannelState[ch] != StateIdle && n < limit) {
      Reply(ch, status);
      ++n;
    }
    return n;
  }

  // Memo lines with the "> time " prefix removed (lines without it as they are).
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (const QString& q : memo.Lines()) {
      std::string l = q.toStdString();
      if (l.rfind("> ", 0) == 0) {
        const auto sp = l.find(' ', 2);
        l = sp == std::string::npos ? l : l.substr(sp + 1);
      }
      out.push_back(l);
    }
    return out;
  }
  int Find(const std::string& line) const {
    const auto l = Lines();
    for (std::size_t i = 0; i < l.size(); ++i)
      if (l[i] == line) return static_cast<int>(i);
    return -1;
  }
  bool Has(const std::string& line) const { return Find(line) >= 0; }

  ConsoleState st;
  ui::TMemo memo;
  std::array<std::unique_ptr<ui::TGauge>, ChannelCount> gauges;
  std::map<int, std::string> panels;
  std::string infoPanel;
  int imageSummaries = 0;
  int infoShows = 0;
};

}  // namespace kestra::console::testing
