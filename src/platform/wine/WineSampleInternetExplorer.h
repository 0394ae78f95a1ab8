// The sample prefix's Internet Explorer traces: the URL cache, history and cookie store that
// Wine's own wininet made (data/sample/ie/, see scripts/make-ie-sample.sh), put into the
// user's Temporary Internet Files, Cookies and History folders, and the browser's registry
// traces (typed addresses, the last download folder).
#pragma once

#include <filesystem>

#include "platform/wine/WineSample.h"

namespace kestrove::wine {

void InternetExplorerTraces(SampleBuilder& b, const std::filesystem::path& templateFolder);

}  // namespace kestrove::wine
