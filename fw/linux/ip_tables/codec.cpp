#include "fw/linux/ip_tables/codec.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <linux/netfilter_ipv4/ip_tables.h>
#include <linux/netfilter_ipv6/ip6_tables.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>

#include "fw/linux/ip_tables/raw_socket.hpp"

namespace fw::linux::ip_tables {
namespace {

// Layout of the kernel's structures on a 64-bit kernel.
constexpr std::size_t standard_target_size = 40; // header + signed 32-bit verdict, aligned
constexpr std::size_t error_target_size = 64;    // header + 30-byte chain name, aligned
constexpr std::size_t error_name_size = 30;
constexpr std::size_t getinfo_size = 84;
constexpr std::size_t get_entries_header = 40;
constexpr std::size_t replace_header = 96;
constexpr std::size_t counters_info_header = 40;
constexpr std::size_t table_name_size = 32;
const std::string error_target_name = "ERROR";

static_assert(sizeof(ipt_ip) == sizeof(ip_header_t));
static_assert(offsetof(ipt_ip, smsk) == offsetof(ip_header_t, src_mask));
static_assert(offsetof(ipt_ip, outiface) == offsetof(ip_header_t, out_iface));
static_assert(offsetof(ipt_ip, outiface_mask) == offsetof(ip_header_t, out_iface_mask));
static_assert(offsetof(ipt_ip, proto) == offsetof(ip_header_t, proto));
static_assert(offsetof(ipt_ip, invflags) == offsetof(ip_header_t, invflags));
static_assert(sizeof(ipt_getinfo) == getinfo_size);
static_assert(sizeof(ipt_get_entries) == get_entries_header);
static_assert(sizeof(ipt_replace) == replace_header);
static_assert(offsetof(ipt_replace, counters) == 88);
static_assert(sizeof(xt_counters_info) == counters_info_header);
static_assert(sizeof(xt_counters) == 16);
static_assert(inv_in_iface == IPT_INV_VIA_IN && inv_out_iface == IPT_INV_VIA_OUT && inv_tos == IPT_INV_TOS &&
              inv_source == IPT_INV_SRCIP && inv_destination == IPT_INV_DSTIP && inv_fragment == IPT_INV_FRAG &&
              inv_protocol == IPT_INV_PROTO);
static_assert(sizeof(ip6t_ip6) == sizeof(ip6_header_t));
static_assert(offsetof(ip6t_ip6, outiface) == offsetof(ip6_header_t, out_iface));
static_assert(offsetof(ip6t_ip6, outiface_mask) == offsetof(ip6_header_t, out_iface_mask));
static_assert(offsetof(ip6t_ip6, proto) == offsetof(ip6_header_t, proto));
static_assert(offsetof(ip6t_ip6, flags) == offsetof(ip6_header_t, flags));
static_assert(offsetof(ip6t_ip6, invflags) == offsetof(ip6_header_t, invflags));
static_assert(ip6_flag_protocol == IP6T_F_PROTO && inv_protocol == IP6T_INV_PROTO && inv_source == IP6T_INV_SRCIP);
// The IPv6 control structures share the IPv4 layout and option numbers.
static_assert(sizeof(ip6t_getinfo) == getinfo_size && sizeof(ip6t_get_entries) == get_entries_header &&
              sizeof(ip6t_replace) == replace_header);
static_assert(IP6T_SO_GET_INFO == IPT_SO_GET_INFO && IP6T_SO_GET_ENTRIES == IPT_SO_GET_ENTRIES &&
              IP6T_SO_SET_REPLACE == IPT_SO_SET_REPLACE && IP6T_SO_SET_ADD_COUNTERS == IPT_SO_SET_ADD_COUNTERS);

// What differs between ip_tables and ip6_tables: the entry layout, the socket and the texts of errors.
struct ipv4_t {
  using table_type = table_t;
  static constexpr std::size_t entry_size = 112;      // ipt_entry without matches and target
  static constexpr std::size_t target_offset_at = 88; // u16
  static constexpr std::size_t next_offset_at = 90;   // u16
  static constexpr std::size_t counters_at = 96;      // two u64
  static constexpr int domain = AF_INET, level = SOL_IP;
  static constexpr const char *parse_error = "Cannot parse IP table blob";
  static constexpr const char *info_error = "Cannot get IP table info";
  static constexpr const char *entries_error = "Cannot get IP table entries";
  static constexpr const char *replace_error = "Cannot set IP table entries";
  static constexpr const char *counters_error = "Cannot set IP table counters";
};
static_assert(sizeof(ipt_entry) == ipv4_t::entry_size && offsetof(ipt_entry, target_offset) == ipv4_t::target_offset_at &&
              offsetof(ipt_entry, next_offset) == ipv4_t::next_offset_at &&
              offsetof(ipt_entry, counters) == ipv4_t::counters_at);

struct ipv6_t {
  using table_type = table6_t;
  static constexpr std::size_t entry_size = 168;       // ip6t_entry without matches and target
  static constexpr std::size_t target_offset_at = 140; // u16
  static constexpr std::size_t next_offset_at = 142;   // u16
  static constexpr std::size_t counters_at = 152;      // two u64
  static constexpr int domain = AF_INET6, level = SOL_IPV6;
  static constexpr const char *parse_error = "Cannot parse IPv6 table blob";
  static constexpr const char *info_error = "Cannot get IPv6 table info";
  static constexpr const char *entries_error = "Cannot get IPv6 table entries";
  static constexpr const char *replace_error = "Cannot set IPv6 table entries";
  static constexpr const char *counters_error = "Cannot set IPv6 table counters";
};
static_assert(sizeof(ip6t_entry) == ipv6_t::entry_size &&
              offsetof(ip6t_entry, target_offset) == ipv6_t::target_offset_at &&
              offsetof(ip6t_entry, next_offset) == ipv6_t::next_offset_at &&
              offsetof(ip6t_entry, counters) == ipv6_t::counters_at);

// Verdicts of the standard target: a built-in verdict v is stored as -v - 1; RETURN is -NF_REPEAT - 1.
constexpr std::int32_t verdict_drop = -1, verdict_accept = -2, verdict_queue = -4, verdict_return = -5;

std::int32_t encode_verdict(verdict_t verdict) {
  switch (verdict) {
  case verdict_t::drop: return verdict_drop;
  case verdict_t::accept: return verdict_accept;
  case verdict_t::queue: return verdict_queue;
  case verdict_t::ret: return verdict_return;
  }
  throw std::runtime_error("Invalid verdict");
}

std::optional<verdict_t> decode_verdict(std::int32_t v) {
  switch (v) {
  case verdict_drop: return verdict_t::drop;
  case verdict_accept: return verdict_t::accept;
  case verdict_queue: return verdict_t::queue;
  case verdict_return: return verdict_t::ret;
  default: return std::nullopt;
  }
}

template <typename T> T load(const std::uint8_t *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T> void store(std::uint8_t *p, T v) { std::memcpy(p, &v, sizeof v); }

template <typename F> [[noreturn]] void parse_fault() { throw_system_error(EINVAL, F::parse_error); }

void check_table_name(const std::string &name) {
  if (name.size() >= table_name_size) throw std::runtime_error("Table name is too long: " + name);
}

// One entry of a blob, split into its parts.
template <typename Header> struct raw_entry_t {
  std::uint32_t offset = 0;
  std::uint32_t next = 0; // offset of the following entry
  Header ip{};
  counters_t counters;
  std::vector<extension_t> matches;
  enum { standard, error, extension } kind = standard;
  std::int32_t verdict = 0;  // standard
  std::string error_name;    // error
  extension_t target;        // extension
};

template <typename F, typename Header = typename F::table_type::rule_type::header_t>
std::vector<raw_entry_t<Header>> split_entries(const std::vector<std::uint8_t> &bytes) {
  constexpr std::size_t entry_size = F::entry_size;
  std::vector<raw_entry_t<Header>> entries;
  const std::size_t size = bytes.size();
  std::size_t offset = 0;
  while (offset < size) {
    if (size - offset < entry_size) parse_fault<F>();
    const std::uint8_t *e = bytes.data() + offset;
    const std::size_t target_offset = load<std::uint16_t>(e + F::target_offset_at);
    const std::size_t next_offset = load<std::uint16_t>(e + F::next_offset_at);
    if (target_offset < entry_size || next_offset < target_offset + extension_t::header_size ||
        next_offset > size - offset || next_offset % 8 != 0)
      parse_fault<F>();

    raw_entry_t<Header> entry;
    entry.offset = static_cast<std::uint32_t>(offset);
    entry.next = static_cast<std::uint32_t>(offset + next_offset);
    std::memcpy(&entry.ip, e, sizeof entry.ip);
    entry.counters.packets = load<std::uint64_t>(e + F::counters_at);
    entry.counters.bytes = load<std::uint64_t>(e + F::counters_at + 8);

    for (std::size_t m = entry_size; m < target_offset;) {
      if (target_offset - m < extension_t::header_size) parse_fault<F>();
      const std::size_t match_size = load<std::uint16_t>(e + m);
      if (match_size < extension_t::header_size || match_size > target_offset - m) parse_fault<F>();
      entry.matches.emplace_back(std::vector<std::uint8_t>(e + m, e + m + match_size));
      m += match_size;
    }

    const std::uint8_t *t = e + target_offset;
    const std::size_t target_size = load<std::uint16_t>(t);
    if (target_size < extension_t::header_size || target_size > next_offset - target_offset) parse_fault<F>();
    const char *target_name = reinterpret_cast<const char *>(t + 2);
    const std::size_t name_length = ::strnlen(target_name, extension_t::name_size);
    if (name_length == 0) {
      if (target_size < extension_t::header_size + sizeof(std::int32_t)) parse_fault<F>();
      entry.kind = raw_entry_t<Header>::standard;
      entry.verdict = load<std::int32_t>(t + extension_t::header_size);
    } else if (std::string_view(target_name, name_length) == error_target_name) {
      if (target_size < extension_t::header_size + error_name_size) parse_fault<F>();
      const char *chain = reinterpret_cast<const char *>(t + extension_t::header_size);
      // The kernel keeps a chain name terminated inside its field, as the writer does.
      const std::size_t chain_length = ::strnlen(chain, error_name_size);
      if (chain_length == error_name_size) parse_fault<F>();
      entry.kind = raw_entry_t<Header>::error;
      entry.error_name.assign(chain, chain_length);
    } else {
      entry.kind = raw_entry_t<Header>::extension;
      entry.target = extension_t(std::vector<std::uint8_t>(t, t + target_size));
    }
    entries.push_back(std::move(entry));
    offset += next_offset;
  }
  return entries;
}

// Appends entries to a blob under construction.
template <typename F> class writer_t {
  using header_t = typename F::table_type::rule_type::header_t;

public:
  std::vector<std::uint8_t> bytes;
  std::uint32_t count = 0;

  std::uint32_t offset() const { return static_cast<std::uint32_t>(bytes.size()); }

  // Appends an entry and returns the position of its standard verdict (0 for other targets).
  std::size_t append(const header_t &ip, const counters_t &counters, const std::vector<extension_t> &matches,
                     const target_t &target, const std::string *error_name = nullptr) {
    const std::size_t start = bytes.size();
    bytes.resize(start + F::entry_size, 0);
    std::memcpy(bytes.data() + start, &ip, sizeof ip);
    store<std::uint64_t>(bytes.data() + start + F::counters_at, counters.packets);
    store<std::uint64_t>(bytes.data() + start + F::counters_at + 8, counters.bytes);

    for (const extension_t &match : matches) {
      if (match.size() < extension_t::header_size) throw std::runtime_error("Invalid match size");
      append_block(match);
    }
    const std::size_t target_offset = bytes.size() - start;

    std::size_t verdict_at = 0;
    if (error_name) {
      extension_t error(error_target_name, 0, error_target_size - extension_t::header_size);
      error.set_bytes(extension_t::header_size, error_name->data(), error_name->size());
      append_block(error);
    } else if (const auto *ext = std::get_if<extension_t>(&target)) {
      if (ext->size() < extension_t::header_size) throw std::runtime_error("Invalid target size");
      append_block(*ext);
    } else {
      extension_t standard("", 0, standard_target_size - extension_t::header_size);
      verdict_at = bytes.size() + extension_t::header_size;
      append_block(standard);
      std::int32_t verdict = 0;
      if (const auto *v = std::get_if<verdict_t>(&target)) verdict = encode_verdict(*v);
      else if (std::holds_alternative<no_target_t>(target)) verdict = static_cast<std::int32_t>(bytes.size());
      store<std::int32_t>(bytes.data() + verdict_at, verdict); // a jump is patched later
    }

    const std::size_t next_offset = bytes.size() - start;
    if (next_offset > std::numeric_limits<std::uint16_t>::max())
      throw std::runtime_error("IP table entry is too large");
    store<std::uint16_t>(bytes.data() + start + F::target_offset_at, static_cast<std::uint16_t>(target_offset));
    store<std::uint16_t>(bytes.data() + start + F::next_offset_at, static_cast<std::uint16_t>(next_offset));
    if (bytes.size() > std::numeric_limits<std::int32_t>::max()) throw std::runtime_error("IP table is too large");
    ++count;
    return verdict_at;
  }

private:
  // Copies a block with its size field set to the block's size rounded up to a multiple of 8.
  void append_block(const extension_t &block) {
    const std::size_t padded = (block.size() + 7) / 8 * 8;
    if (padded > std::numeric_limits<std::uint16_t>::max()) throw std::runtime_error("IP table entry is too large");
    const std::size_t at = bytes.size();
    bytes.resize(at + padded, 0);
    std::memcpy(bytes.data() + at, block.bytes().data(), block.size());
    store<std::uint16_t>(bytes.data() + at, static_cast<std::uint16_t>(padded));
  }
};

// Reads the table's info into an ipt_getinfo.
template <typename F> ipt_getinfo get_info(int fd, const std::string &name) {
  ipt_getinfo info{};
  std::memcpy(info.name, name.data(), name.size());
  socklen_t length = sizeof info;
  if (::getsockopt(fd, F::level, IPT_SO_GET_INFO, &info, &length) != 0) throw_system_error(errno, F::info_error);
  return info;
}

template <typename F> typename F::table_type parse(const blob_t &blob) {
  using table_type = typename F::table_type;
  using rule_type = typename table_type::rule_type;
  using raw_entry = raw_entry_t<typename rule_type::header_t>;
  const std::vector<raw_entry> entries = split_entries<F>(blob.entries);
  if (entries.empty() || entries.back().kind != raw_entry::error) parse_fault<F>();
  if (blob.valid_hooks >> hook_count) parse_fault<F>();

  // Position of the entry at a blob offset.
  const auto index_of = [&](std::uint32_t offset) -> std::optional<std::size_t> {
    const auto it = std::lower_bound(entries.begin(), entries.end(), offset,
                                     [](const raw_entry &e, std::uint32_t o) { return e.offset < o; });
    if (it == entries.end() || it->offset != offset) return std::nullopt;
    return static_cast<std::size_t>(it - entries.begin());
  };
  const std::size_t closing = entries.size() - 1;
  const auto is_head = [&](std::size_t i) { return i < closing && entries[i].kind == raw_entry::error; };

  // A jump verdict is the offset of a user chain's first entry after its head (what the kernel and
  // the iptables tools use); the head's own offset is taken as well.
  const auto chain_at = [&](std::int32_t verdict) -> const std::string * {
    const auto i = index_of(static_cast<std::uint32_t>(verdict));
    if (!i) return nullptr;
    if (is_head(*i)) return &entries[*i].error_name;
    if (*i > 0 && is_head(*i - 1)) return &entries[*i - 1].error_name;
    return nullptr;
  };

  const auto to_rule = [&](const raw_entry &e) {
    rule_type rule;
    rule.ip = e.ip;
    rule.matches = e.matches;
    rule.counters = e.counters;
    switch (e.kind) {
    case raw_entry::error: parse_fault<F>();
    case raw_entry::extension: rule.target = e.target; break;
    case raw_entry::standard:
      if (e.verdict < 0) {
        const auto v = decode_verdict(e.verdict);
        if (!v) parse_fault<F>();
        rule.target = *v;
      } else if (static_cast<std::uint32_t>(e.verdict) == e.next) {
        rule.target = no_target_t{};
      } else if (const std::string *chain = chain_at(e.verdict)) {
        rule.target = jump_t{*chain};
      } else {
        parse_fault<F>();
      }
      break;
    }
    return rule;
  };

  std::array<std::optional<std::size_t>, hook_count> hook_entry_index, underflow_index;
  for (unsigned h = 0; h < hook_count; ++h) {
    if (!(blob.valid_hooks & (1u << h))) continue;
    hook_entry_index[h] = index_of(blob.hook_entry[h]);
    underflow_index[h] = index_of(blob.underflow[h]);
    if (!hook_entry_index[h] || !underflow_index[h] || *hook_entry_index[h] > *underflow_index[h] ||
        *underflow_index[h] >= closing)
      parse_fault<F>();
  }
  const auto hook_starting_at = [&](std::size_t i) -> std::optional<unsigned> {
    for (unsigned h = 0; h < hook_count; ++h)
      if (hook_entry_index[h] == i) return h;
    return std::nullopt;
  };

  table_type table;
  enum { outside, in_builtin, in_user } state = outside;
  basic_builtin_chain_t<rule_type> *builtin = nullptr;
  basic_chain_t<rule_type> *user = nullptr;
  unsigned hook = 0;
  for (std::size_t i = 0; i < closing; ++i) {
    const raw_entry &e = entries[i];
    const std::optional<unsigned> starting_hook = hook_starting_at(i);
    if (state == outside) {
      if (starting_hook) {
        hook = *starting_hook;
        if (table.builtin_chains.count(hook)) parse_fault<F>();
        builtin = &table.builtin_chains[hook];
        state = in_builtin;
      } else if (e.kind == raw_entry::error) {
        if (e.error_name.empty()) parse_fault<F>();
        const auto [it, inserted] = table.user_chains.try_emplace(e.error_name);
        if (!inserted) parse_fault<F>();
        user = &it->second;
        state = in_user;
        continue;
      } else {
        parse_fault<F>();
      }
    } else if (starting_hook || e.kind == raw_entry::error) {
      parse_fault<F>(); // a chain that does not end before the next one starts
    }

    if (state == in_builtin) {
      if (i == *underflow_index[hook]) {
        if (e.kind != raw_entry::standard || (e.verdict != verdict_accept && e.verdict != verdict_drop))
          parse_fault<F>();
        builtin->policy = e.verdict == verdict_accept ? verdict_t::accept : verdict_t::drop;
        builtin->policy_counters = e.counters;
        state = outside;
      } else {
        builtin->rules.push_back(to_rule(e));
      }
    } else if (entries[i + 1].kind == raw_entry::error) {
      // The last entry of a user chain, its RETURN tail.
      if (e.kind != raw_entry::standard || e.verdict != verdict_return) parse_fault<F>();
      state = outside;
    } else {
      user->rules.push_back(to_rule(e));
    }
  }
  if (state != outside) parse_fault<F>();
  for (unsigned h = 0; h < hook_count; ++h)
    if ((blob.valid_hooks & (1u << h)) && !table.builtin_chains.count(h)) parse_fault<F>();
  return table;
}

template <typename F> blob_t serialise(const typename F::table_type &table) {
  using rule_type = typename F::table_type::rule_type;
  using header_t = typename rule_type::header_t;
  blob_t blob;
  writer_t<F> out;
  std::vector<std::pair<std::size_t, const std::string *>> jumps;
  const auto append_rule = [&](const rule_type &rule) {
    const std::size_t verdict_at = out.append(rule.ip, rule.counters, rule.matches, rule.target);
    if (const auto *jump = std::get_if<jump_t>(&rule.target)) jumps.emplace_back(verdict_at, &jump->chain);
  };

  for (const auto &[hook, chain] : table.builtin_chains) {
    if (hook >= hook_count) throw std::runtime_error("Invalid hook number " + std::to_string(hook));
    if (chain.policy != verdict_t::accept && chain.policy != verdict_t::drop)
      throw std::runtime_error(std::string("Invalid policy of chain ") + hook_name(hook));
    blob.valid_hooks |= 1u << hook;
    blob.hook_entry[hook] = out.offset();
    for (const rule_type &rule : chain.rules) append_rule(rule);
    blob.underflow[hook] = out.offset();
    out.append(header_t{}, chain.policy_counters, {}, chain.policy);
  }

  std::map<std::string, std::uint32_t, std::less<>> chain_start;
  for (const auto &[name, chain] : table.user_chains) {
    if (name.size() >= error_name_size) throw std::runtime_error("Chain name is too long: " + name);
    if (name.empty()) throw std::runtime_error("Chain name is empty");
    out.append(header_t{}, {}, {}, no_target_t{}, &name);
    chain_start[name] = out.offset();
    for (const rule_type &rule : chain.rules) append_rule(rule);
    out.append(header_t{}, {}, {}, verdict_t::ret);
  }
  out.append(header_t{}, {}, {}, no_target_t{}, &error_target_name);

  for (const auto &[verdict_at, chain] : jumps) {
    const auto it = chain_start.find(*chain);
    if (it == chain_start.end()) throw std::runtime_error("Jump to unknown chain: " + *chain);
    store<std::int32_t>(out.bytes.data() + verdict_at, static_cast<std::int32_t>(it->second));
  }
  blob.num_entries = out.count;
  blob.entries = std::move(out.bytes);
  return blob;
}

template <typename Table> std::vector<counters_t> counters_of(const Table &table) {
  std::vector<counters_t> counters;
  for (const auto &[hook, chain] : table.builtin_chains) {
    for (const auto &rule : chain.rules) counters.push_back(rule.counters);
    counters.push_back(chain.policy_counters);
  }
  for (const auto &[name, chain] : table.user_chains) {
    counters.emplace_back();
    for (const auto &rule : chain.rules) counters.push_back(rule.counters);
    counters.emplace_back();
  }
  counters.emplace_back();
  return counters;
}

template <typename F> typename F::table_type read(const std::string &name) {
  check_table_name(name);
  const util::scoped_fd_t fd = open_raw_socket(F::domain);
  const ipt_getinfo info = get_info<F>(fd.get(), name);

  std::vector<std::uint8_t> buffer(get_entries_header + info.size, 0);
  std::memcpy(buffer.data(), name.data(), name.size());
  store<std::uint32_t>(buffer.data() + offsetof(ipt_get_entries, size), info.size);
  socklen_t length = static_cast<socklen_t>(buffer.size());
  if (::getsockopt(fd.get(), F::level, IPT_SO_GET_ENTRIES, buffer.data(), &length) != 0)
    throw_system_error(errno, F::entries_error);

  blob_t blob;
  blob.valid_hooks = info.valid_hooks;
  std::copy(std::begin(info.hook_entry), std::end(info.hook_entry), blob.hook_entry.begin());
  std::copy(std::begin(info.underflow), std::end(info.underflow), blob.underflow.begin());
  blob.num_entries = info.num_entries;
  blob.entries.assign(buffer.begin() + get_entries_header, buffer.end());
  return parse<F>(blob);
}

template <typename F> void write(const std::string &name, const typename F::table_type &table) {
  check_table_name(name);
  const util::scoped_fd_t fd = open_raw_socket(F::domain);
  const std::vector<counters_t> counters = counters_of(table);
  const blob_t blob = serialise<F>(table);
  if (counters.size() != blob.num_entries) throw std::logic_error("counter count differs from entry count");

  const ipt_getinfo info = get_info<F>(fd.get(), name);
  std::vector<xt_counters> old_counters(std::max<std::uint32_t>(info.num_entries, 1));
  std::vector<std::uint8_t> replace(replace_header + blob.entries.size(), 0);
  ipt_replace header{};
  std::memcpy(header.name, name.data(), name.size());
  header.valid_hooks = blob.valid_hooks;
  header.num_entries = blob.num_entries;
  header.size = static_cast<unsigned>(blob.entries.size());
  std::copy(blob.hook_entry.begin(), blob.hook_entry.end(), header.hook_entry);
  std::copy(blob.underflow.begin(), blob.underflow.end(), header.underflow);
  header.num_counters = info.num_entries;
  header.counters = old_counters.data();
  std::memcpy(replace.data(), &header, sizeof header);
  std::memcpy(replace.data() + replace_header, blob.entries.data(), blob.entries.size());
  if (::setsockopt(fd.get(), F::level, IPT_SO_SET_REPLACE, replace.data(), static_cast<socklen_t>(replace.size())) != 0)
    throw_system_error(errno, F::replace_error);

  std::vector<std::uint8_t> add(counters_info_header + counters.size() * sizeof(xt_counters), 0);
  std::memcpy(add.data(), name.data(), name.size());
  store<std::uint32_t>(add.data() + offsetof(xt_counters_info, num_counters),
                       static_cast<std::uint32_t>(counters.size()));
  for (std::size_t i = 0; i < counters.size(); ++i) {
    std::uint8_t *p = add.data() + counters_info_header + i * sizeof(xt_counters);
    store<std::uint64_t>(p, counters[i].packets);
    store<std::uint64_t>(p + 8, counters[i].bytes);
  }
  if (::setsockopt(fd.get(), F::level, IPT_SO_SET_ADD_COUNTERS, add.data(), static_cast<socklen_t>(add.size())) != 0)
    throw_system_error(errno, F::counters_error);
}

} // namespace

table_t parse_table(const blob_t &blob) { return parse<ipv4_t>(blob); }
table6_t parse_table6(const blob_t &blob) { return parse<ipv6_t>(blob); }
blob_t serialise_table(const table_t &table) { return serialise<ipv4_t>(table); }
blob_t serialise_table(const table6_t &table) { return serialise<ipv6_t>(table); }
std::vector<counters_t> collect_counters(const table_t &table) { return counters_of(table); }
std::vector<counters_t> collect_counters(const table6_t &table) { return counters_of(table); }
table_t read_table(const std::string &name) { return read<ipv4_t>(name); }
table6_t read_table6(const std::string &name) { return read<ipv6_t>(name); }
void write_table(const std::string &name, const table_t &table) { write<ipv4_t>(name, table); }
void write_table6(const std::string &name, const table6_t &table) { write<ipv6_t>(name, table); }

} // namespace fw::linux::ip_tables
