// The default browser on the desktop: the first command of $BROWSER when it is set (as
// xdg-open does), else the desktop's URL opener. Main thread only.
#pragma once

#include "Platform/Browser.h"

namespace desktop {

class DesktopBrowser final : public platform::Browser {
public:
    bool openURL(const std::string& url) override;
};

} // namespace desktop
