// Listing the programmers' USB virtual serial ports.
#pragma once

#include <string>
#include <vector>

namespace kestra::link {

inline constexpr const char* NoDeviceTextConsole = "No Device Availiable!";
inline constexpr const char* NoDeviceTextUpgrade = "No Device Availiable";

// The port names whose device-table value name begins with "\Device\VCP" and
// that can be opened exclusively right now, in the table's order.
std::vector<std::string> ListVirtualComPorts();

// Appends the listable ports to a sorted combo box and sets its text: the
// last item of its sorted list, or NoDeviceText when it holds no item.
// Combo provides AddItem(std::string), Count(), Item(int) and SetText(std::string).
template <class Combo>
void EnumVirtualComPorts(Combo& combo, const std::string& NoDeviceText) {
  for (const auto& port : ListVirtualComPorts()) combo.AddItem(port);
  if (combo.Count() == 0)
    combo.SetText(NoDeviceText);
  else
    combo.SetText(combo.Item(combo.Count() - 1));
}

}  // namespace kestra::link
