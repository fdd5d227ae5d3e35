// What addsound writes, as the tests and the fuzz target expect it: the
// entry block for a new sound and the console's done message.
#ifndef LAYOUT_H
#define LAYOUT_H

#include <string>

// The text that stands for a new sound, with or without its closing comma.
inline std::string block(const std::string &name, bool comma = true)
{
    return "{\n  \"" + name + "\": {\n    \"sounds\": [\n       \"" + name
         + "\"\n]\n}" + (comma ? "," : "");
}

inline std::string done(const std::string &name)
{
    return "All done! " + name + " is now added into sounds.json\n"
           "Remember to refresh your Resource pack to use it.\n";
}

#endif
