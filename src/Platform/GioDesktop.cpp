// Placeholder until the GIO desktop lands: nothing opens, nothing is shown.
#include "Platform/Desktop.h"

namespace tamberlo {
namespace {
class NoDesktop : public Desktop {
 public:
  bool open(const std::string&) override { return false; }
  void reveal(const std::string&) override {}
};
}  // namespace
std::unique_ptr<Desktop> makeGioDesktop() { return std::make_unique<NoDesktop>(); }
}  // namespace tamberlo
