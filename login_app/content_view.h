#pragma once

#include <functional>
#include <memory>

#include "login_app/token_manager.h"
#include "platform/app_kit/hosting_view.h"
#include "platform/app_kit/published.h"

namespace brellis::login_app {

// The content of the login window: the feature's switch, with an icon and its label, on a faint
// rounded plate. The switch shows and sets the token manager's `isEnabled`.
//
// Main thread only. The token manager is the view's state object: made the first time the body
// is evaluated and kept for the view's life.
class ContentView : public platform::app_kit::RootView {
 public:
  static constexpr const char* kLabelKey = "Enable Velkor Unlock";
  static constexpr const char* kLabelTable = "Tarvo";
  static constexpr const char* kImageName = "Unlock";
  static constexpr double kPlateWidth = 242;
  static constexpr double kPlateHeight = 42;
  static constexpr double kPlateCornerRadius = 30;
  static constexpr double kPlateWhite = 0.9;
  static constexpr double kPlateOpacity = 0.1;
  static constexpr double kOffWhite = 0.2;
  static constexpr double kImagePadding = 2;

  using TokenManagerFactory = std::function<std::shared_ptr<TokenManager>()>;
  // By default the token manager is made from the default dependencies.
  ContentView();
  explicit ContentView(TokenManagerFactory makeTokenManager);

  platform::app_kit::View body(platform::app_kit::HostingView& host) override;
  // The state object (made on first use).
  const std::shared_ptr<TokenManager>& tokenManager();
  // The label's text: the table's entry, or the key between two pairs of asterisks.
  static std::string labelText();

 private:
  TokenManagerFactory makeTokenManager_;
  std::shared_ptr<TokenManager> tokenManager_;
  platform::app_kit::AnyCancellable subscription_;
  bool subscribed_ = false;
};

}  // namespace brellis::login_app
