// A console state with its own memo and gauges and recording hooks, for the
// display-free tests of the channel machine and the stand-alone monitor.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
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

  // A reply of len decoded bytes with status byte [8] on channel ch, as the
  // receive path hands it over (a status reply by default: header, the status
  // byte and the check).
  static constexpr uint16_t StatusReplyLen = 11;
  void Reply(int ch, uint8_t status, uint16_t len = StatusReplyLen) {
    st.PacketBuf(ch)[8] = status;
    st.Buffers[ch]->PacketLen = len;
    DispatchReply(st, ch, status);
  }

  // A read-out reply on channel ch: 4096 data bytes of value fill at [8..].
  static constexpr uint16_t BlockReplyLen = 8 + 4096 + 2;
  void BlockReply(int ch, uint8_t fill) {
    std::memset(st.PacketBuf(ch) + 8, fill, 4096);
    st.Buffers[ch]->PacketLen = BlockReplyLen;
    DispatchReply(st, ch, 0);
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
