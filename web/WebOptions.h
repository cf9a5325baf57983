#pragma once

#include "core/Options.h"
#include "web/WebView.h"

namespace CLI {
class App;
}

// --http and --http-host into the web view's address (no host: no web view).
void addWebOptions(CLI::App& app, WebView::Address& address, OptionRules& rules);
