// FIXME: stub until this piece is built.
#include "cgi/environment_list.h"

void EnvironmentList::add_entry(std::string, std::string) {}
std::unique_ptr<char[]> EnvironmentList::build_block() const { return {}; }
int compare_entries(std::string_view, std::string_view) { return 0; }
void collect_cgi_variables(RequestContext&, EnvironmentList&) {}
