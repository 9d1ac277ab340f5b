// KestraGangA4_VeDaZe: the programmer's firmware upgrade tool.
#include <clocale>

#include "upgrade/MainFwUpEPS.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  return kestra::upgrade::FwUpProgramMain(argc, argv);
}
