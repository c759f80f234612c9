#include "app/command_line.hpp"

#include <cstdlib>
#include <iostream>

#include <boost/program_options.hpp>

#include "app/constants.hpp"
#include "mv/log/log.hpp"

namespace fw::app {

// Prints the executable information record; provided by the application info report.
void dump_app_info(std::ostream &out, int argc, char **argv);

void run_command_line(int argc, char **argv) {
  namespace po = boost::program_options;
  mv::log::threshold = mv::log::Error;
  mv::log::set_log(mv::log::default_log());

  po::options_description visible("Command line options");
  visible.add_options()("help,h", "print help message and exit")("version,v", "print version and exit");
  po::options_description hidden;
  hidden.add_options()("dump-app-info", "dump exe file info");
  po::options_description all;
  all.add(visible).add(hidden);

  po::variables_map vm;
  const int style = po::command_line_style::unix_style | po::command_line_style::long_case_insensitive;
  po::store(po::command_line_parser(argc, argv).options(all).style(style).run(), vm);
  po::notify(vm);

  if (vm.count("help")) {
    std::cout << visible << std::flush;
    std::exit(0);
  }
  if (vm.count("version")) {
    std::cout << program_name << ' ' << version << std::endl;
    std::exit(0);
  }
  if (vm.count("dump-app-info")) {
    dump_app_info(std::cout, argc, argv);
    std::cout << std::endl;
    std::exit(0);
  }
  std::cout << "Cannot run standalone. See " << program_name << "(1) for details." << std::endl;
  std::exit(1);
}

} // namespace fw::app
