#pragma once

struct RequestContext;
struct ServerSettings;

// Sets cgi_command to the CGI program's name (URL stem with ".exe") when that
// program exists under WEBCGI, and is_perl for a ".pl" URL. Sets cgi_refused
// when the name does not fit cgi_command; probes nothing for a ".." segment.
void classify_cgi_url(RequestContext& context, const ServerSettings& settings);

// Replaces cgi_command with the Perl command line: the interpreter of the
// script's "#!" line, or the default interpreter, then the script's path. Sets
// cgi_refused when the command does not fit cgi_command.
void build_perl_command(RequestContext& context);

// True when the request goes to the CGI gateway: the URL after its first
// character is "app.cgi", or a CGI name or Perl command was found. False for a
// request with cgi_refused set; the caller answers it with "404 Not Found",
// never with the static reply, which would send a script's source.
bool is_cgi_request(const RequestContext& context);

// Writes the command line into work_text and the working directory into
// cgi_directory.
void build_cgi_command_line(RequestContext& context, const ServerSettings& settings);
