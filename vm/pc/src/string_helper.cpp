#include "string_helper.h"

std::string file2class_name(const std::string& path) {
    std::string name = path;
    if (name.size() > 3 && name[1] == ':') name.erase(0, 3);
    for (char& c : name)
        if (c == '\\') c = '/';
    size_t start = name.find_first_not_of("./");
    name.erase(0, start == std::string::npos ? name.size() : start);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    size_t slashes = 0;
    for (size_t i = name.size(); i-- > 0;) {
        if (name[i] == '/' && ++slashes == 2) {
            name.erase(0, i + 1);
            break;
        }
    }
    return name;
}
