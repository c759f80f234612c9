#include "mv/util/exe_info.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "mv/util/error_code.hpp"

namespace mv::util {

namespace {

[[noreturn]] void throw_errno(const char *step) {
  throw boost::system::system_error(errno, boost::system::system_category(), step);
}

[[noreturn]] void throw_openssl(const char *step) {
  char text[256] = {};
  ::ERR_error_string_n(::ERR_get_error(), text, sizeof text);
  throw std::runtime_error(std::string(step) + ": " + text);
}

std::string md5_of(const std::string &path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) throw_errno("open");
  const std::unique_ptr<const int, void (*)(const int *)> fd(&descriptor, [](const int *d) { ::close(*d); });
  std::unique_ptr<EVP_MD_CTX, decltype(&::EVP_MD_CTX_free)> ctx(::EVP_MD_CTX_new(), &::EVP_MD_CTX_free);
  if (!ctx) throw std::bad_alloc();
  if (::EVP_DigestInit_ex(ctx.get(), ::EVP_md5(), nullptr) != 1) throw_openssl("EVP_DigestInit_ex");
  std::vector<unsigned char> block(8192);
  for (;;) {
    const ssize_t n = ::read(descriptor, block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("read");
    }
    if (n == 0) break;
    if (::EVP_DigestUpdate(ctx.get(), block.data(), static_cast<std::size_t>(n)) != 1) throw_openssl("EVP_DigestUpdate");
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (::EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) throw_openssl("EVP_DigestFinal_ex");
  return std::string(reinterpret_cast<const char *>(digest), size);
}

std::string owner_name(uid_t uid) {
  long recommended = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(recommended > 0 ? static_cast<std::size_t>(recommended) : 16384);
  passwd entry{};
  passwd *found = nullptr;
  // A buffer that turns out too small is enlarged rather than taken for a missing entry.
  int error;
  while ((error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
    buffer.resize(buffer.size() * 2);
  if (error == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

} // namespace

mv::AppExeInfo exe_info(const std::string &version, int argc, char **argv) {
  if (argc < 1 || !argv || !argv[0]) throw std::runtime_error("Unknown exe path");
  const boost::filesystem::path path = boost::filesystem::canonical(argv[0], boost::filesystem::current_path());
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw boost::filesystem::filesystem_error("stat", path, boost::system::error_code(errno, boost::system::system_category()));
  if (!S_ISREG(st.st_mode)) throw boost::system::system_error(mv::make_error_code(mv::EC_NOT_A_REGULAR_FILE), path.string());

  mv::AppExeInfo info;
  info.set_version(version);
  info.set_install_time(static_cast<std::uint64_t>(st.st_ctime));
  info.set_modification_time(static_cast<std::uint64_t>(st.st_mtime));
  info.set_exe_size(static_cast<std::uint64_t>(st.st_size));
  info.set_exe_md5(md5_of(path.string()));
  info.set_exe_owner(owner_name(st.st_uid));
  return info;
}

} // namespace mv::util
