#pragma once
// Command-line options, their parser and the application object that runs it.

#include <stdexcept>
#include <string>
#include <vector>

namespace norbe {

class missing_option : public std::runtime_error {
 public:
  explicit missing_option(const std::string& name);
  ~missing_option() override;
};

class unexpected_option : public std::runtime_error {
 public:
  explicit unexpected_option(const std::string& name);
  ~unexpected_option() override;
};

//! Raised when the run should end quietly with success (after --help or --version).
class user_interruption : public std::runtime_error {
 public:
  explicit user_interruption(const std::string& what);
  ~user_interruption() override;
};

//! One command-line option bound to one program variable.
class OptionBase {
 public:
  OptionBase(const std::string& name, const std::string& help);
  virtual bool recognizeName(const std::string& name) = 0;
  //! Offers the option its value; false when it takes none.
  virtual bool feed(const std::string& value) = 0;
  //! Throws missing_option when a mandatory option was not given.
  virtual void checkGiven() = 0;
  virtual ~OptionBase();
  virtual std::string info() = 0;
  //! True when the option may stand alone, without a value after it.
  virtual bool valueIsOptional() const { return false; }

  //! Another name the option answers to ("--output" beside "-o").
  void addName(const std::string& name) { _names.push_back(name); }
  //! The names joined for help lines.
  std::string names() const;
  const std::vector<std::string>& nameList() const { return _names; }
  const std::string& help() const { return _help; }

 protected:
  std::vector<std::string> _names;
  std::string _help;
};

//! Owns the options pushed into it and walks the command line with them.
class OptionsParser {
 public:
  OptionsParser() = default;
  OptionsParser(const OptionsParser&) = delete;
  OptionsParser& operator=(const OptionsParser&) = delete;
  ~OptionsParser();

  //! \note The parser owns option from now on.
  void pushOption(OptionBase* option);
  const std::vector<OptionBase*>& options() const { return _options; }

  /*!
   * Feeds each word to the options; standard options are left to the caller. A word
   * "--name=value" where an option is expected, "--name" being one of the options' names,
   * is read as "--name" followed by "value".
   */
  void parse(const std::vector<std::string>& words);

 private:
  //! The option that takes the word as its name (recognizeName may throw for a repeat).
  OptionBase* owner(const std::string& name) const;
  //! True when name is one of the options' names, without asking the options.
  bool isName(const std::string& name) const;

  std::vector<OptionBase*> _options;
};

class NorbeApplication {
 public:
  NorbeApplication(int argc, const char* const* argv, const std::string& brief);
  virtual ~NorbeApplication();

  OptionsParser& getParser() { return _parser; }
  //! Parses the command line: help and version print and raise user_interruption.
  virtual void initialize();

  const std::string& brief() const { return _brief; }
  //! What --version prints after the program's name.
  void setVersion(const std::string& version) { _version = version; }
  //! Text that --help prints after the option lines.
  void setEpilogue(const std::string& text) { _epilogue = text; }
  std::string usage() const;

 private:
  std::vector<std::string> _args;
  std::string _brief;
  std::string _version = "unknown";
  std::string _epilogue;
  OptionsParser _parser;
};

class VexaApplication : public NorbeApplication {
 public:
  VexaApplication(int argc, const char* const* argv, const std::string& brief);
  ~VexaApplication() override;
};

}  // namespace norbe
