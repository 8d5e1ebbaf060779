// The language file and the formatting of its texts: any Strings.ini loads, and the prompts the
// installer formats from it either format or fail with the format error, never crash or exhaust
// memory.
#include "debuglog/DebugLog.h"
#include "fuzz_machine.h"
#include "installer/lang/LangStrings.h"
#include "installer/startup/RunState.h"

namespace {

void format_all(const WStr& text) {
  const TVarRec texts[] = {W_("Kelvane KV-1000"), W_("USB001")};
  const TVarRec code[] = {static_cast<long long>(0xE0000207)};
  for (auto [args, count] : {std::pair{texts, 2}, std::pair{code, 1}}) {
    try {
      WStr out = Format(text, args, static_cast<size_t>(count));
      if (out.size() > text.size() + 4096 * 8) fuzz::fail("a format that grew past its bounds");
    } catch (const KelvaneError&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    fuzz::machine();
    InitializeRunState();
    return true;
  }();
  (void)ready;
  fuzz::put("Pkg/Lang/Strings.ini", data, size);
  LangOptions().LoadFromFile(W_("C:\\Pkg\\Lang\\Strings.ini"));
  for (const WStr* text : {&LangStrings.InstallSuccessStr, &LangStrings.InstallFailStr, &LangStrings.InstallFailCode,
                           &LangStrings.DetectUSBPrinterOnPort, &LangStrings.InstallOnline,
                           &LangStrings.NotFileReaderInstall, &LangStrings.NoticeTitle})
    format_all(*text);
  return 0;
}
