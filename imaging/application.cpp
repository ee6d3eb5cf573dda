#include "imaging/application.h"

#include <cstdlib>
#include <iostream>

#ifndef MIRLUNE_VERSION
#define MIRLUNE_VERSION "unknown"
#endif

namespace norbe {

missing_option::missing_option(const std::string& name)
    : std::runtime_error("missing mandatory option " + name + " (see --help)") {}
missing_option::~missing_option() = default;

unexpected_option::unexpected_option(const std::string& name)
    : std::runtime_error("option " + name + " is given more than once") {}
unexpected_option::~unexpected_option() = default;

user_interruption::user_interruption(const std::string& what) : std::runtime_error(what) {}
user_interruption::~user_interruption() = default;

OptionBase::OptionBase(const std::string& name, const std::string& help) : _names{name}, _help(help) {}
OptionBase::~OptionBase() = default;

std::string OptionBase::names() const {
  std::string joined;
  for (const auto& name : _names) {
    if (!joined.empty()) joined += " | ";
    joined += name;
  }
  return joined;
}

OptionsParser::~OptionsParser() {
  for (OptionBase* option : _options) delete option;
}

void OptionsParser::pushOption(OptionBase* option) {
  if (option) _options.push_back(option);
}

void OptionsParser::parse(const std::vector<std::string>& words) {
  for (std::size_t i = 0; i < words.size();) {
    const std::string& word = words[i];
    OptionBase* owner = nullptr;
    for (OptionBase* option : _options) {
      if (option->recognizeName(word)) {
        owner = option;
        break;
      }
    }
    if (!owner) {
      throw std::runtime_error("unknown option \"" + word + "\" (see --help)");
    }
    if (i + 1 < words.size() && owner->feed(words[i + 1])) {
      i += 2;
      continue;
    }
    if (!owner->valueIsOptional()) throw std::runtime_error("missing value after option " + word);
    owner->feed("true");
    i += 1;
  }
  for (OptionBase* option : _options) option->checkGiven();
}

NorbeApplication::NorbeApplication(int argc, const char* const* argv, const std::string& brief) : _brief(brief) {
  for (int i = 0; i < argc; ++i) _args.emplace_back(argv[i] ? argv[i] : "");
}

NorbeApplication::~NorbeApplication() = default;

std::string NorbeApplication::usage() const {
  std::string text = _brief + "\n\n";
  for (OptionBase* option : _parser.options()) text += option->info() + "\n";
  text +=
      "[ --threads <number> ]\nworker threads for the analysis (default: all cores)\n"
      "[ -h | --help ]\nprint this help and exit\n"
      "[ --version ]\nprint the version and exit\n";
  return text;
}

void NorbeApplication::initialize() {
  std::vector<std::string> words;
  for (std::size_t i = 1; i < _args.size(); ++i) {
    const std::string& word = _args[i];
    if (word == "-h" || word == "--help") {
      std::cout << usage() << std::flush;
      throw user_interruption("help printed");
    }
    if (word == "--version") {
      std::string name = _brief;
      while (!name.empty() && name.back() == ' ') name.pop_back();
      std::cout << name << " " << MIRLUNE_VERSION << std::endl;
      throw user_interruption("version printed");
    }
    if (word == "--threads") {
      if (i + 1 >= _args.size()) throw std::runtime_error("missing value after option --threads");
      const std::string& value = _args[++i];
      char* end = nullptr;
      const long threads = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || threads < 1 || threads > 1024) {
        throw std::runtime_error("option --threads needs a whole number from 1 to 1024, not \"" + value + "\"");
      }
      _threads = static_cast<int>(threads);
      continue;
    }
    words.push_back(word);
  }
  _parser.parse(words);
}

VexaApplication::VexaApplication(int argc, const char* const* argv, const std::string& brief)
    : NorbeApplication(argc, argv, brief) {}
VexaApplication::~VexaApplication() = default;

}  // namespace norbe
