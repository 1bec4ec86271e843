// The command line of `fenwix build` and `fenwix pack`, read into one
// build_options. Every option with a value takes it as the next argument or
// after an "=" (--level=9); every refusal is one line that says what would
// have been taken.
#include "tools/cli/build_defaults.h"
#include "tools/cli/build_options.h"

#include "format/values_section.h"
#include "tools/host/text.h"

#include <algorithm>
#include <cstdlib>
#include <set>

namespace {

enum class scope { both, build_only };

struct option_spec {
    const char* name;
    bool takes_value;
    scope where;
};

// Every option; -o and -q are short forms of --output and --quiet.
const option_spec options_table[] = {
    {"--output", true, scope::both},
    {"--main", true, scope::both},
    {"--level", true, scope::both},
    {"--exclude", true, scope::both},
    {"--quiet", false, scope::both},
    {"--block", true, scope::build_only},
    {"--product", true, scope::build_only},
    {"--company", true, scope::build_only},
    {"--version", true, scope::build_only},
    {"--description", true, scope::build_only},
    {"--copyright", true, scope::build_only},
    {"--template", true, scope::build_only},
    {"--icon", true, scope::build_only},
    {"--windowed", false, scope::build_only},
    {"--arg", true, scope::build_only},
    {"--env", true, scope::build_only},
    {"--cwd", true, scope::build_only},
    {"--quick-check", false, scope::build_only},
    {"--keep-versions", true, scope::build_only},
    {"--stub", true, scope::build_only},
    {"--index", true, scope::build_only},
};

// Options that add one value each time they are given; any other given
// twice would silently win over the first.
bool repeatable(const std::string& name) {
    return name == "--arg" || name == "--env" || name == "--exclude";
}

const option_spec* find_option(const std::string& name, bool building) {
    for (const option_spec& o : options_table) {
        if (name == o.name && (building || o.where == scope::both)) return &o;
    }
    return nullptr;
}

std::string unknown_option(const std::string& typed, bool building) {
    std::vector<std::string> known;
    for (const option_spec& o : options_table) {
        if (building || o.where == scope::both) known.push_back(o.name);
    }
    const std::string near = closest_word(typed, known);
    std::string message = "unknown option " + typed;
    if (!near.empty()) message += "; did you mean " + near + "?";
    if (!building && find_option(typed, true) != nullptr) {
        message = typed + " is an option of fenwix build, not of fenwix pack";
    }
    return message;
}

std::string one_of(const std::string& option, const std::string& value,
                   const std::vector<std::string>& choices) {
    std::string list;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
    }
    std::string message = option + " takes " + list + ", not " + in_quotes(value);
    const std::string near = closest_word(value, choices);
    if (!near.empty()) message += "; did you mean " + near + "?";
    return message;
}

int parse_level(const std::string& text) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 1 || v > 22) {
        throw tool_error("--level " + text + " is not a whole number from 1 to 22");
    }
    return static_cast<int>(v);
}

std::uint32_t parse_kept_versions(const std::string& text) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || n < 1 ||
        n > values_section::max_kept_versions) {
        throw tool_error("--keep-versions " + text + " is not a whole number from 1 to " +
                         std::to_string(values_section::max_kept_versions));
    }
    return static_cast<std::uint32_t>(n);
}

void set_text(build_options& o, build_text t, const std::string& value) {
    o.*build_text_defaults[t].field = value;
    o.given |= 1u << t;
}

// Takes one option and its value (empty for a flag).
void take_option(build_options& o, const std::string& name, const std::string& value) {
    if (name == "--output") {
        o.output = value;
    } else if (name == "--main") {
        if (value.empty()) throw tool_error("--main is empty");
        o.main_relpath = value;
    } else if (name == "--level") {
        o.level = parse_level(value);
    } else if (name == "--exclude") {
        if (value.empty()) throw tool_error("--exclude is empty");
        o.excludes.push_back(value);
    } else if (name == "--quiet") {
        o.quiet = true;
    } else if (name == "--block") {
        o.block_path = value;
    } else if (name == "--icon") {
        o.icon_path = value;
    } else if (name == "--stub") {
        o.stub_path = value;
    } else if (name == "--windowed") {
        o.windowed = true;
    } else if (name == "--quick-check") {
        o.quick_check = true;
    } else if (name == "--arg") {
        o.fixed_arguments.push_back(value);
    } else if (name == "--env") {
        o.variables.push_back(value);
    } else if (name == "--keep-versions") {
        o.keep_versions = parse_kept_versions(value);
    } else if (name == "--cwd") {
        if (value != "caller" && value != "app")
            throw tool_error(one_of(name, value, {"caller", "app"}));
        o.start_in_app_folder = value == "app";
    } else if (name == "--index") {
        if (value == "auto") {
            o.index = build_options::index_choice::automatic;
        } else if (value == "none") {
            o.index = build_options::index_choice::none;
        } else if (value == "decoded") {
            o.index = build_options::index_choice::decoded;
        } else {
            throw tool_error(one_of(name, value, {"auto", "none", "decoded"}));
        }
    } else {
        for (unsigned t = 0; t < build_text_count; ++t) {
            if (name == build_text_defaults[t].option)
                set_text(o, static_cast<build_text>(t), value);
        }
    }
}

bool ends_with_exe(const std::string& path) {
    if (path.size() < 4) return false;
    std::string ext = path.substr(path.size() - 4);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return ext == ".exe";
}

}  // namespace

std::string closest_word(const std::string& typed, const std::vector<std::string>& known) {
    // Edit distance (insertions, deletions, changes), counting a swap of two
    // neighbours as one: the usual slips of a typing hand.
    std::string best;
    std::size_t best_distance = 0;
    for (const std::string& word : known) {
        const std::size_t n = typed.size(), m = word.size();
        std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
        for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
        for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
        for (std::size_t i = 1; i <= n; ++i) {
            for (std::size_t j = 1; j <= m; ++j) {
                const std::size_t change = typed[i - 1] == word[j - 1] ? 0 : 1;
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
                if (i > 1 && j > 1 && typed[i - 1] == word[j - 2] && typed[i - 2] == word[j - 1]) {
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
                }
            }
        }
        if (best.empty() || d[n][m] < best_distance) {
            best = word;
            best_distance = d[n][m];
        }
    }
    // Close enough: at most a third of the word wrong, and never all of a
    // short one.
    const std::size_t allowed = std::max<std::size_t>(1, best.size() / 3);
    return !best.empty() && best_distance <= allowed && best_distance < best.size() ? best : "";
}

build_options parse_build_arguments(const std::vector<std::string>& args, bool building) {
    build_options o;
    bool have_output = false;
    std::set<std::string> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "-o") name = "--output";
        if (name == "-q") name = "--quiet";
        if (name.size() < 2 || name[0] != '-') {
            if (!o.app_dir.empty()) throw tool_error("unexpected argument " + name);
            o.app_dir = name;
            continue;
        }
        // --name=value: the value is what follows the first "=".
        std::string value;
        bool inline_value = false;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            inline_value = true;
        }
        const option_spec* spec = find_option(name, building);
        if (spec == nullptr) throw tool_error(unknown_option(name, building));
        if (!spec->takes_value && inline_value) throw tool_error(name + " takes no value");
        if (spec->takes_value && !inline_value) {
            if (i + 1 >= args.size()) throw tool_error(args[i] + " needs a value");
            value = args[++i];
        }
        if (spec->takes_value && !repeatable(name) && !given.insert(name).second) {
            throw tool_error(name + " is given more than once");
        }
        if (name == "--output") have_output = true;
        take_option(o, name, value);
    }
    if (!have_output || o.output.empty()) throw tool_error("-o OUTPUT is required");
    if (building) {
        if (o.app_dir.empty() == o.block_path.empty()) {
            throw tool_error("give either APP_DIR or --block BLOCK");
        }
        if (!o.block_path.empty() && !o.main_relpath.empty()) {
            throw tool_error("--main applies to APP_DIR, not to --block");
        }
        if (!o.block_path.empty() && !o.excludes.empty()) {
            throw tool_error("--exclude applies to APP_DIR, not to --block");
        }
        if (!ends_with_exe(o.output)) {
            throw tool_error("the output " + in_quotes(o.output) +
                             " does not end in .exe, which Windows needs to start it; try -o " +
                             o.output + ".exe");
        }
    } else if (o.app_dir.empty()) {
        throw tool_error("APP_DIR is required");
    }
    return o;
}
