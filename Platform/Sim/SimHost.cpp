#include "Platform/Sim/SimHost.h"

#include "Platform/Sim/SimAsync.h"
#include "Platform/Sim/SimHttpSession.h"

#include <algorithm>

namespace platform::sim {

// --- SimUserDefaults ---

std::map<std::string, Value> SimUserDefaults::all() const {
    std::lock_guard lock(mutex_);
    return values_;
}

std::optional<Value> SimUserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

void SimUserDefaults::set(const std::string& key, Value value) {
    std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
    ++writes_[key];
}

void SimUserDefaults::removeObject(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
    ++writes_[key];
}

int SimUserDefaults::writeCount(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = writes_.find(key);
    return it == writes_.end() ? 0 : it->second;
}

// --- SimApplication ---

bool SimApplication::setActivationPolicy(ActivationPolicy policy) {
    policy_ = policy;
    policyHistory_.push_back(policy);
    return true;
}

void SimApplication::activate(bool /*ignoringOtherApps*/) {
    ++activations_;
    if (active_)
        return;
    // Becoming active is announced, as the system does.
    host_.notificationCenter().post(applicationWillBecomeActiveNotification);
    active_ = true;
    host_.notificationCenter().post(applicationDidBecomeActiveNotification);
}

std::vector<std::shared_ptr<Window>> SimApplication::windows() const {
    return windows_;
}

void SimApplication::run(std::weak_ptr<ApplicationDelegate> delegate) {
    delegate_ = delegate;
    if (auto d = delegate.lock())
        d->applicationDidFinishLaunching();
}

void SimApplication::setLayoutDirection(LayoutDirection d) {
    direction_ = d;
    host_.simStatusBar().layout();
}

void SimApplication::reset() {
    policy_ = ActivationPolicy::regular;
    policyHistory_.clear();
    active_ = false;
    activations_ = 0;
    currentEvent_.reset();
    windows_.clear();
    mainMenu_.reset();
    delegate_.reset();
    exitStatus_.reset();
    terminated_ = false;
}

// --- SimScreens ---

std::optional<Screen> SimScreens::mainScreen() const {
    if (screens_.empty())
        return std::nullopt;
    return screens_.front();
}

// --- SimSymbols ---

SimSymbols::SimSymbols()
    : known_{"chevron.left",    "chevron.right", "circle.fill",        "exclamationmark.triangle",
             "app.dashed",      "gearshape",     "person.crop.circle", "power",
             "arrow.clockwise", "eye.slash",     "checkmark",          "pause"} {}

std::optional<Image> SimSymbols::systemSymbol(const std::string& name,
                                              const std::string& accessibilityDescription) {
    if (!known_.count(name))
        return std::nullopt;
    Image img;
    img.symbolName = name;
    img.accessibilityDescription = accessibilityDescription;
    return img;
}

// --- SimWorkspace ---

std::vector<std::shared_ptr<RunningApplication>>
SimWorkspace::runningApplications(const std::string& bundleIdentifier) const {
    std::vector<std::shared_ptr<RunningApplication>> out;
    for (auto& a : apps_)
        if (a->bundleIdentifier() == bundleIdentifier)
            out.push_back(a);
    return out;
}

std::shared_ptr<RunningApplication> SimWorkspace::runningApplication(std::int32_t pid) const {
    for (auto& a : apps_)
        if (a->processIdentifier() == pid)
            return a;
    return nullptr;
}

std::shared_ptr<SimRunningApplication>
SimWorkspace::addApplication(std::int32_t pid, std::optional<std::string> bundleID,
                             std::optional<std::string> name) {
    auto app = std::make_shared<SimRunningApplication>(pid, std::move(bundleID), std::move(name));
    apps_.push_back(app);
    return app;
}

void SimWorkspace::removeApplication(std::int32_t pid) {
    std::erase_if(apps_, [&](auto& a) { return a->processIdentifier() == pid; });
}

void SimWorkspace::setCurrent(std::shared_ptr<SimRunningApplication> app) {
    if (current_)
        removeApplication(current_->processIdentifier());
    current_ = app;
    if (std::find(apps_.begin(), apps_.end(), app) == apps_.end())
        apps_.push_back(app);
}

// --- SimAlerts ---

int SimAlerts::runModal(const AlertSpec& alert) {
    shown.push_back(alert);
    if (responder)
        return responder(alert);
    if (!scriptedAnswers.empty()) {
        int answer = scriptedAnswers.front();
        scriptedAnswers.erase(scriptedAnswers.begin());
        return answer;
    }
    return alertFirstButtonReturn;
}

// --- SimLog ---

std::vector<LogEntry> SimLog::matching(const std::string& text) const {
    std::vector<LogEntry> out;
    for (auto& l : lines)
        if (l.message.find(text) != std::string::npos)
            out.push_back(l);
    return out;
}

// --- SimHost ---

SimHost::SimHost()
    : libraryRuntime_(std::make_unique<SimLibraryRuntime>(runLoop_)),
      http_(std::make_unique<SimHttpSession>(runLoop_)) {
    // 2026-01-05T09:00:00Z: a fixed, ordinary moment for virtual wall-clock time.
    epoch_ = std::chrono::system_clock::time_point(std::chrono::seconds(1767603600));
    screens_.set({makeScreen(0, 0, 1440, 900)});
    bundle_.bundleIdentifier = "com.corvane.quillet";
    bundle_.bundlePath = "/Applications/Quillet.app";
    bundle_.infoDictionary = Dictionary{{"CFBundleShortVersionString", "0.3.1"},
                                        {"CFBundleVersion", "31"},
                                        {"CFBundleName", "Quillet"}};
    processInfo_.processIdentifier = nextPID_++;
    processInfo_.operatingSystemVersion = {14, 5, 0};
    workspace_.setCurrent(workspace_.addApplication(processInfo_.processIdentifier,
                                                    bundle_.bundleIdentifier, "Quillet"));
    addSystemItems();
    installHost(this);
}

SimHost::~SimHost() {
    // The simulated process ends before its facilities go: the coroutines it leaves suspended
    // are unwound while everything they may touch on the way out still stands.
    endProcess();
    if (hasHost() && &host() == this)
        installHost(nullptr);
}

void SimHost::endProcess() {
    // Open sheets and pages first (their completions hold the tasks waiting on them), then
    // the run loop, which also drops the unwinding that releasing those tasks posts.
    webAuth_.reset();
    appleID_.reset();
    runLoop_.reset();
}

LibraryRuntime& SimHost::libraryRuntime() {
    return *libraryRuntime_;
}

HttpSession& SimHost::httpSession() {
    if (externalHttp_)
        return *externalHttp_;
    return *http_;
}

void SimHost::setWallClock(std::chrono::system_clock::time_point now) {
    epoch_ = now - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                       std::chrono::duration<double>(runLoop_.monotonicNow()));
}

SimHttpSession& SimHost::simHttp() {
    return *http_;
}

std::chrono::system_clock::time_point SimHost::now() const {
    auto offset = std::chrono::duration<double>(runLoop_.monotonicNow());
    return epoch_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(offset);
}

void SimHost::addSystemItems() {
    // Both belong to Control Center, as on current systems.
    ForeignStatusItemSpec clock{
        "Control Center", 91, "com.apple.clock", 110, std::nullopt, true, 0};
    ForeignStatusItemSpec cc{
        "Control Center", 91, "com.apple.controlcenter", 28, std::nullopt, true, 1};
    statusBar_.addForeignItem(clock);
    statusBar_.addForeignItem(cc);
}

Screen SimHost::makeScreen(double x, double y, double width, double height) {
    Screen s;
    s.frame = makeRect(x, y, width, height);
    s.visibleFrame = makeRect(x, y, width, height - 24);
    return s;
}

void SimHost::setScreens(std::vector<Screen> screens) {
    screens_.set(std::move(screens));
    statusBar_.layout();
    notifications_.post(applicationDidChangeScreenParametersNotification);
}

void SimHost::click(const std::shared_ptr<StatusItem>& item, MouseButton button) {
    auto* b = item->button();
    if (!b)
        return;
    Event e;
    e.type = button == MouseButton::left ? EventType::leftMouseUp : EventType::rightMouseUp;
    if (auto w = b->window()) {
        e.windowNumber = w->windowNumber();
        e.locationInScreen = {w->frame().midX(), w->frame().midY()};
    }
    application_.setCurrentEvent(e);
    if (item->menu())
        performClick(*item);
    else
        b->deliverMouseUp(e.type);
    application_.setCurrentEvent(std::nullopt);
}

void SimHost::hover(const std::shared_ptr<StatusItem>& item, bool inside) {
    if (auto* b = item->button())
        b->deliverPointer(inside);
}

void SimHost::performClick(StatusItem& item) {
    // A status item with a menu shows it (modally, until it closes); otherwise the click goes
    // to the button's action.
    if (auto menu = item.menu()) {
        ++menusShown;
        menu->present(menuTracker);
        return;
    }
    if (auto* b = item.button())
        b->sendAction();
}

std::shared_ptr<Window> SimHost::makeWindow(const WindowAttributes& attributes, bool panel) {
    auto w = std::make_shared<SimWindow>(nextWindowNumber(), panel, attributes);
    w->setFrame(attributes.contentRect);
    w->title = attributes.title;
    // One key window at a time.
    w->becameKey = [this](SimWindow& next) {
        for (auto& other : madeWindows_)
            if (other.get() != &next)
                other->resignKey();
    };
    madeWindows_.push_back(w);
    application_.addWindow(w);
    return w;
}

bool SimHost::isOwnWindow(std::uint32_t windowNumber) const {
    for (auto& w : application_.windows())
        if (w->windowNumber() == windowNumber)
            return true;
    for (auto& item : const_cast<SimStatusBar&>(statusBar_).ownItems())
        if (auto w = statusBar_.windowOf(item); w && w->windowNumber() == windowNumber)
            return true;
    return false;
}

bool SimHost::mouseDown(std::uint32_t windowNumber, EventType type) {
    Event e;
    e.type = type;
    e.windowNumber = windowNumber;
    if (!isOwnWindow(windowNumber)) {
        e.windowNumber = 0;
        eventMonitors_->dispatchGlobal(e);
        return false;
    }
    return eventMonitors_->dispatchLocal(e).has_value();
}

void SimHost::mouseDownInOtherApplication(EventType type) {
    Event e;
    e.type = type;
    eventMonitors_->dispatchGlobal(e);
}

bool SimHost::keyDown(std::uint16_t keyCode) {
    Event e;
    e.type = EventType::keyDown;
    e.keyCode = keyCode;
    for (auto& w : application_.windows())
        if (w->isKeyWindow())
            e.windowNumber = w->windowNumber();
    return eventMonitors_->dispatchLocal(e).has_value();
}

std::shared_ptr<SimWindow> SimHost::addWindow(bool panel, bool visible) {
    auto w = std::make_shared<SimWindow>(nextWindowNumber(), panel);
    if (visible)
        w->orderFront();
    application_.addWindow(w);
    return w;
}

void SimHost::relaunch() {
    endProcess();
    notifications_.removeAll();
    statusBar_.dropOwnItems();
    application_.reset();
    madeWindows_.clear();
    eventMonitors_ = std::make_unique<EventMonitors>();
    updaterFramework_.reset();
    browser_.openedURLs.clear();
    menuTracker = nullptr;
    menusShown = 0;
    alerts_.shown.clear();
    log_.lines.clear();
    processInfo_.processIdentifier = nextPID_++;
    workspace_.setCurrent(workspace_.addApplication(processInfo_.processIdentifier,
                                                    bundle_.bundleIdentifier, "Quillet"));
}

} // namespace platform::sim
