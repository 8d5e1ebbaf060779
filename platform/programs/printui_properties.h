// The printer's properties dialog of printui ("/p"), with the driver's UI plug-in in it.
#pragma once

#include <nlohmann/json.hpp>

#include "win32/base.h"

// Shows the properties of `printer` until the user closes them; 0, or the error that kept them
// from opening. What happened on the way goes into `detail`.
DWORD ShowPrinterProperties(const WStr& printer, nlohmann::json& detail);
