#!/usr/bin/perl
# widl 7 describes an [out] pointer to a string typedef (LPWSTR *) by the string's type
# offset instead of its reference pointer's. Wine's NDR engine then unmarshals the string
# into the proxy's stack copy of the pointer, and the caller's variable stays null. This
# points every such parameter (server-allocated, "srv size") at its reference pointer, as
# MIDL does. Edits the generated proxy file in place.
use strict;
use warnings;

my $file = shift or die "usage: FixProxyOffsets.pl FILE_p.c\n";
open(my $in, '<', $file) or die "$file: $!\n";
my $text = do { local $/; <$in> };
close($in);

# Reference pointers allocated on the stack whose pointee follows at once.
my %refOf;
while ($text =~ m{/\* (\d+) \([^)]*\) \*/\s*0x11, 0x14,\s*/\* FC_RP \[allocated_on_stack\] \[pointer_deref\] \*/\s*NdrFcShort\(0x2\),\s*/\* Offset= 2 \((\d+)\) \*/}g) {
    $refOf{$2} = $1;
}

my $fixed = 0;
$text =~ s{(NdrFcShort\(0x[0-9a-f]+\),\s*/\* flags: [^*]*srv size=\d+ \*/\s*NdrFcShort\(0x[0-9a-f]+\),\s*/\* stack offset = \d+ \*/\s*)NdrFcShort\(0x[0-9a-f]+\),(\s*)/\* type offset = (\d+) \*/}{
    if (exists $refOf{$3}) {
        ++$fixed;
        sprintf("%sNdrFcShort(0x%x),%s/* type offset = %d */", $1, $refOf{$3}, $2, $refOf{$3});
    } else {
        $&;
    }
}ge;

open(my $out, '>', $file) or die "$file: $!\n";
print $out $text;
close($out);
print "FixProxyOffsets: $fixed parameter(s) in $file\n";
