/*
 * The example form handler: /form.cgi runs cgi-bin/form.exe.
 *
 * The server has already URL-decoded the form and turned its escaped EUC-JP
 * characters into Shift_JIS, so standard input holds text such as
 * "message=<Shift_JIS bytes>", CONTENT_LENGTH bytes long, and then ends. The
 * reply page is Shift_JIS too. The first 27 bytes written are the header block
 * that ends the server's reply head.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void write_escaped(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        switch (text[i]) {
        case '<': fputs("&lt;", stdout); break;
        case '>': fputs("&gt;", stdout); break;
        case '&': fputs("&amp;", stdout); break;
        case '"': fputs("&quot;", stdout); break;
        default: putchar(text[i]);
        }
    }
}

int main(void) {
    char body[1024];
    size_t length = fread(body, 1, sizeof body - 1, stdin);
    body[length] = '\0';

    const char *value = strchr(body, '=');
    value = value ? value + 1 : body;

    fputs("Content-type: text/html\r\n\r\n", stdout);
    fputs("<!DOCTYPE html>\n<html><head><meta charset=\"Shift_JIS\">"
          "<title>form.cgi</title></head><body>\n", stdout);
    fputs("<h1>form.cgi</h1>\n<p>REQUEST_METHOD: ", stdout);
    const char *method = getenv("REQUEST_METHOD");
    write_escaped(method ? method : "", method ? strlen(method) : 0);
    fputs("</p>\n<p id=\"message\">", stdout);
    write_escaped(value, strlen(value));
    fputs("</p>\n<p><a href=\"/form.html\">back</a></p>\n</body></html>\n", stdout);
    return 0;
}
