#include "console/Operations.h"

namespace kestra::console {

ConsoleOperations::ConsoleOperations(TProgramArmFrm& form, ConsoleState& st) : form_(form), st_(st) {}
ConsoleOperations::~ConsoleOperations() = default;

void ConsoleOperations::BitBtnFreshClick() {}
void ConsoleOperations::BitBtnFindCOMClick() {}
void ConsoleOperations::Timer1Timer() {}
void ConsoleOperations::SerCommReceiveData(int, const uint8_t*, uint16_t) {}
void ConsoleOperations::SerCommRequestHangup(int) {}
void ConsoleOperations::SpdBtnStartPrgClick() {}
void ConsoleOperations::FormKeyPress(int) {}
void ConsoleOperations::FormClose() {}

void ConsoleOperations::SpdBtnDownLoadClick() {}
void ConsoleOperations::AutoSpdBtnClick() {}
void ConsoleOperations::SpdBtnBlankClick() {}
void ConsoleOperations::SpdBtnEraseClick() {}
void ConsoleOperations::SpdBtnProgClick() {}
void ConsoleOperations::SpdBtnVerifyClick() {}
void ConsoleOperations::ProtectChip1Click() {}
void ConsoleOperations::SpeedButtonRDClick() {}
void ConsoleOperations::ReadChipIDInfo1Click() {}
void ConsoleOperations::ReadChipInfoMemory1Click() {}
void ConsoleOperations::WriteChipEepData1Click() {}
void ConsoleOperations::ReadChipEepData1Click() {}
void ConsoleOperations::VerifyChipEEPData1Click() {}

}  // namespace kestra::console
