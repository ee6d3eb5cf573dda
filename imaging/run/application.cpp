#include "imaging/run/application.h"

#include <algorithm>
#include <iostream>

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

OptionBase* OptionsParser::owner(const std::string& name) const {
  for (OptionBase* option : _options) {
    if (option->recognizeName(name)) return option;
  }
  return nullptr;
}

void OptionsParser::parse(const std::vector<std::string>& given) {
  std::vector<std::string> words(given);
  for (std::size_t i = 0; i < words.size();) {
    // "--name=value" in option position, for a known long option, is "--name" then "value";
    // values themselves are never split (a file may be called "--odd=name.nii.gz").
    const std::size_t equals = words[i].find('=');
    if (words[i].compare(0, 2, "--") == 0 && equals != std::string::npos && isName(words[i].substr(0, equals))) {
      words.insert(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words[i].substr(equals + 1));
      words[i].erase(equals);
    }
    const std::string word = words[i];
    OptionBase* option = owner(word);
    if (!option) throw std::runtime_error("unknown option \"" + word + "\" (see --help)");
    if (i + 1 < words.size() && option->feed(words[i + 1])) {
      i += 2;
      continue;
    }
    if (!option->valueIsOptional()) throw std::runtime_error("missing value after option " + word);
    option->feed("true");
    i += 1;
  }
  for (OptionBase* option : _options) option->checkGiven();
}

bool OptionsParser::isName(const std::string& name) const {
  for (OptionBase* option : _options) {
    const std::vector<std::string>& names = option->nameList();
    if (std::find(names.begin(), names.end(), name) != names.end()) return true;
  }
  return false;
}

NorbeApplication::NorbeApplication(int argc, const char* const* argv, const std::string& brief) : _brief(brief) {
  for (int i = 0; i < argc; ++i) _args.emplace_back(argv[i] ? argv[i] : "");
}

NorbeApplication::~NorbeApplication() = default;

std::string NorbeApplication::usage() const {
  std::string text = _brief + "\n\n";
  for (OptionBase* option : _parser.options()) text += option->info() + "\n";
  text +=
      "[ -h | --help ]\nprint this help and exit\n"
      "[ --version ]\nprint the version and exit\n";
  if (!_epilogue.empty()) text += "\n" + _epilogue;
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
      std::cout << name << " " << _version << std::endl;
      throw user_interruption("version printed");
    }
    words.push_back(word);
  }
  _parser.parse(words);
}

VexaApplication::VexaApplication(int argc, const char* const* argv, const std::string& brief)
    : NorbeApplication(argc, argv, brief) {}
VexaApplication::~VexaApplication() = default;

}  // namespace norbe
