#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables::expr {

// Writes one element of a rule's expression list: the expression's name and its data; the data
// attributes are written between the constructor and close().
class element_writer_t {
public:
  element_writer_t(utils::nft_msg_t &message, std::string_view name) : message_(message) {
    element_ = message.nest_begin(list_element);
    message.put_string(expr_attr::name, name);
    data_ = message.nest_begin(expr_attr::data);
  }
  utils::nft_msg_t &message() noexcept { return message_; }
  void close() {
    message_.nest_end(data_);
    message_.nest_end(element_);
  }

private:
  utils::nft_msg_t &message_;
  std::size_t element_;
  std::size_t data_;
};

} // namespace fw::linux::nftables::expr
