#include "login_app/app_delegate.h"

#include <charconv>
#include <cmath>

#include "login_app/content_view.h"
#include "login_app/program_log.h"
#include "login_app/show_decision.h"
#include "login_app/unlock_settings.h"
#include "platform/app_kit/main_queue.h"
#include "platform/app_kit/screen.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/defaults.h"

namespace brellis::login_app {

namespace {

using namespace platform::app_kit;

constexpr const char* kDidFinishLaunching = "Brellis did finish launching";
constexpr const char* kWillBeHidden = "Brellis will be hidden";
constexpr const char* kWillShowWindow = "Brellis will show window";
constexpr const char* kDidChangeScreenParameters = "Brellis did change screen parameters";
constexpr const char* kScreenMaxX = "Screen maxX: ";
constexpr const char* kScreenMaxY = "Screen maxY: ";
constexpr const char* kScreenDimensionsUnavailable = "Screen dimensions unavailable";
constexpr const char* kOriginX = "Unlock content origin x: ";
constexpr const char* kOriginY = "Unlock content origin y: ";

}  // namespace

std::string doubleDescription(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  // The shortest round-trip digits, in the exponent form "d.ddde±XX".
  char buffer[64];
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::scientific);
  std::string text(buffer, end);
  const size_t e = text.find('e');
  const int exponent = std::stoi(text.substr(e + 1));
  // Whole numbers up to 2^53 keep the decimal form; beyond it the exponent form starts.
  if (exponent < -4 || std::fabs(value) > 0x1p53) return text;
  const bool negative = text[0] == '-';
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c >= '0' && c <= '9') digits += c;
  }
  std::string out = negative ? "-" : "";
  if (exponent < 0) {
    out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  } else if (static_cast<size_t>(exponent) + 1 < digits.size()) {
    out += digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
  } else {
    out += digits + std::string(exponent + 1 - digits.size(), '0') + ".0";
  }
  return out;
}

AppDelegate::Collaborators AppDelegate::defaultCollaborators() {
  return {[] { return AuthorizationDBSystemLoginConsole::read(); },
          []() -> std::shared_ptr<RootView> { return std::make_shared<ContentView>(); }};
}

std::shared_ptr<AppDelegate> AppDelegate::make() { return make(defaultCollaborators()); }

std::shared_ptr<AppDelegate> AppDelegate::make(Collaborators collaborators) {
  return std::shared_ptr<AppDelegate>(new AppDelegate(std::move(collaborators)));
}

AppDelegate::AppDelegate(Collaborators collaborators)
    : collaborators_(std::move(collaborators)),
      logger_(kProgramLogFile, programLogSubsystem(), kLogCategory) {}

void AppDelegate::applicationDidFinishLaunching() {
  logger_.info(kDidFinishLaunching);
  platform::dispatch::detach(launch(shared_from_this()));
}

asio::awaitable<void> AppDelegate::launch(std::shared_ptr<AppDelegate> self) {
  // A failed read is dropped without a log: the decision then skips the mechanism test.
  std::optional<AuthorizationDBSystemLoginConsole> right;
  try {
    right = co_await self->collaborators_.readRight();
  } catch (...) {
    right.reset();
  }
  // g++ 12 miscompiles a capturing lambda inside a co_await expression: build it first.
  std::function<void()> decide = [self, right] { self->decide(right); };
  co_await MainQueue::run(std::move(decide));
}

void AppDelegate::decide(const std::optional<AuthorizationDBSystemLoginConsole>& right) {
  auto suite = platform::foundation::Defaults::open(UnlockSettings::kSuiteName);
  std::optional<UnlockSettings> settings;
  if (suite) settings = UnlockSettings::load(*suite);
  if (!shouldShowWindow(right, suite.has_value(), settings)) {
    logger_.info(kWillBeHidden);
    return;
  }
  logger_.info(kWillShowWindow);
  showWindow();
}

void AppDelegate::showWindow() {
  window_ = Window::make(Rect{{0, 0}, {windowWidth, windowHeight}}, Window::kStyleMaskBorderless,
                         Window::BackingStoreType::buffered, false);
  window_->setSharingType(Window::SharingType::none);
  window_->setCanBecomeVisibleWithoutLogin(true);
  window_->setBackgroundColor(Color::clear());
  window_->setContentView(HostingView::make(collaborators_.makeContent()));
  window_->orderFrontRegardless();
  placeWindow();
}

void AppDelegate::applicationDidChangeScreenParameters() {
  logger_.info(kDidChangeScreenParameters);
  placeWindow();
}

void AppDelegate::placeWindow() {
  if (!window_) return;
  window_->center();
  double x = window_->frame().origin.x;
  double y = window_->frame().origin.y;
  auto screens = Screen::screens();
  if (!screens.empty()) {
    const Rect frame = screens.front().frame();
    logger_.info(kScreenMaxX + doubleDescription(frame.maxX()));
    logger_.info(kScreenMaxY + doubleDescription(frame.maxY()));
    y = frame.maxY() - windowHeight - paddingY;
  } else {
    logger_.error(kScreenDimensionsUnavailable);
    y = y + y * 0.5;
  }
  logger_.info(kOriginX + doubleDescription(x));
  logger_.info(kOriginY + doubleDescription(y));
  window_->setFrameOrigin({x, y});
}

}  // namespace brellis::login_app
