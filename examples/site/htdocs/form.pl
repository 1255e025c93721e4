#!/usr/bin/perl
# The example form handler in Perl: /form.pl runs this script.
#
# Standard input holds the decoded form (Shift_JIS), CONTENT_LENGTH bytes long.
# The first 27 bytes printed are the header block that ends the server's reply
# head.
use strict;
use warnings;

binmode STDIN;
binmode STDOUT;
my $body = '';
read(STDIN, $body, $ENV{CONTENT_LENGTH} || 0);
my (undef, $value) = split /=/, $body, 2;
$value = '' unless defined $value;
for ($value) {
    s/&/&amp;/g;
    s/</&lt;/g;
    s/>/&gt;/g;
    s/"/&quot;/g;
}

print "Content-type: text/html\r\n\r\n";
print "<!DOCTYPE html>\n<html><head><meta charset=\"Shift_JIS\">",
      "<title>form.pl</title></head><body>\n",
      "<h1>form.pl</h1>\n<p>REQUEST_METHOD: $ENV{REQUEST_METHOD}</p>\n",
      "<p id=\"message\">$value</p>\n",
      "<p><a href=\"/form.html\">back</a></p>\n</body></html>\n";
