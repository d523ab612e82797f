#include "Extension/BulkChannel.h"

namespace tamberlo {
namespace {

class RefusingChannel : public BulkChannel {
 public:
  explicit RefusingChannel(std::string reason) : reason_(std::move(reason)) {}
  Result<ChannelAddress> open() override { return Error{ErrorKind::kOther, reason_, 0}; }

 private:
  std::string reason_;
};

}  // namespace

std::unique_ptr<BulkChannel> makeRefusingChannel(std::string reason) {
  return std::make_unique<RefusingChannel>(std::move(reason));
}

}  // namespace tamberlo
