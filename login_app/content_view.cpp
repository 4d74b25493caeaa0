#include "login_app/content_view.h"

#include "login_app/login_toggle_style.h"
#include "platform/foundation/main_bundle.h"

namespace brellis::login_app {

using namespace platform::app_kit;

ContentView::ContentView()
    : ContentView([] {
        return TokenManager::make(BrellisTokenManagerDependencies::defaultDependencies());
      }) {}

ContentView::ContentView(TokenManagerFactory makeTokenManager)
    : makeTokenManager_(std::move(makeTokenManager)) {}

const std::shared_ptr<TokenManager>& ContentView::tokenManager() {
  if (!tokenManager_) tokenManager_ = makeTokenManager_();
  return tokenManager_;
}

std::string ContentView::labelText() {
  return platform::foundation::localizedString(kLabelKey, std::string("**") + kLabelKey + "**",
                                               kLabelTable);
}

View ContentView::body(HostingView& host) {
  auto manager = tokenManager();
  if (!subscribed_) {
    subscribed_ = true;
    // The first delivery is the current value, which this evaluation already shows. Later ones
    // arrive before the property stores the value, so the new evaluation is posted.
    auto first = std::make_shared<bool>(true);
    std::weak_ptr<HostingView> weakHost = host.weak_from_this();
    subscription_ = manager->isEnabled().sink([first, weakHost](const bool&) {
      if (std::exchange(*first, false)) return;
      if (auto host = weakHost.lock()) host->setNeedsUpdate();
    });
  }
  std::weak_ptr<TokenManager> weakManager = manager;
  Binding<bool> isEnabled{[weakManager] {
                            auto manager = weakManager.lock();
                            return manager && manager->isEnabled().get();
                          },
                          [weakManager](bool value) {
                            if (auto manager = weakManager.lock()) manager->isEnabled().set(value);
                          }};
  const Shape plate = Shape::roundedRectangle(kPlateCornerRadius, CornerStyle::continuous);
  return ZStack({
      plate.fill(Color::white(kPlateWhite))
          .opacity(kPlateOpacity)
          .luminanceToAlpha()
          .frame(kPlateWidth, kPlateHeight),
      Toggle(isEnabled,
             HStack({
                 Image(kImageName).padding(kImagePadding),
                 Text(labelText()).lineLimit(1).foregroundColor(Color::whiteColor()),
             }),
             LoginToggleStyle(Color::white(kOffWhite))),
  });
}

}  // namespace brellis::login_app
