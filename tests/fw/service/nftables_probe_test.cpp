// The nftables probe: three modules in a fixed order, all of which must load.
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fw/service/kernel/nftables_probe.hpp"
#include "fw/util/module_loader.hpp"
#include "fw/util/process_runner.hpp"

namespace {

class fake_loader_t : public fw::util::module_loader_t {
public:
  fake_loader_t() : module_loader_t(fw::util::process_runner_t::system()) {}
  std::vector<std::string> loaded;
  std::set<std::string> missing;
  void load(const std::string &name) override {
    loaded.push_back(name);
    if (missing.count(name)) throw std::runtime_error("/sbin/modprobe exited with status 256");
  }
};

} // namespace

TEST(NftablesProbe, SucceedsOnlyWhenAllModulesLoad) {
  fake_loader_t loader;
  EXPECT_TRUE(fw::service::nftables_probe(loader));
  EXPECT_EQ(loader.loaded, (std::vector<std::string>{"nft_tproxy", "nft_ct", "nft_queue"}));

  loader.loaded.clear();
  loader.missing = {"nft_queue"};
  EXPECT_FALSE(fw::service::nftables_probe(loader));
  EXPECT_EQ(loader.loaded, (std::vector<std::string>{"nft_tproxy", "nft_ct", "nft_queue"}));

  loader.loaded.clear();
  loader.missing = {"nft_tproxy"};
  EXPECT_FALSE(fw::service::nftables_probe(loader));
  EXPECT_EQ(loader.loaded, (std::vector<std::string>{"nft_tproxy"}));
}
