// The default web browser: opens a URL for the user to see. Implemented by Sim (records every
// URL) and Desktop (the desktop's URL opener, which honours $BROWSER). Main thread only.
#pragma once

#include <string>

namespace platform {

class Browser {
public:
    virtual ~Browser() = default;
    // Asks the default browser to open `url`; false when no browser could be asked.
    virtual bool openURL(const std::string& url) = 0;
};

// The installed host's browser.
Browser& browser();

} // namespace platform
