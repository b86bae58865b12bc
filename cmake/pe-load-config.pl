#!/usr/bin/perl
# Points the load configuration directory of a 64-bit Windows image at its _load_config_used
# structure, as MSVC's linker does; GNU ld 2.40 leaves that directory empty. The directory's
# size is the structure's first field. Usage: pe-load-config.pl <nm> <image.exe>
use strict;
use warnings;
no warnings 'portable';  # 64-bit addresses, on a 64-bit perl

my ($nm, $image) = @ARGV;
my @found = grep { /^[0-9a-f]+ R _load_config_used$/ } `"$nm" "$image"`;
die "pe-load-config: no _load_config_used in $image\n" unless @found == 1;
my $address = hex((split ' ', $found[0])[0]);

open(my $file, '+<:raw', $image) or die "pe-load-config: $image: $!\n";
my $data = do { local $/; <$file> };
my $headers = unpack('V', substr($data, 0x3C, 4));
die "pe-load-config: $image is no PE image\n" unless substr($data, $headers, 4) eq "PE\0\0";
my $optional = $headers + 24;
die "pe-load-config: $image is not 64-bit\n" unless unpack('v', substr($data, $optional, 2)) == 0x20B;
die "pe-load-config: $image has too few data directories\n"
    unless unpack('V', substr($data, $optional + 108, 4)) > 10;
my $rva = $address - unpack('Q<', substr($data, $optional + 24, 8));

my $sections = unpack('v', substr($data, $headers + 6, 2));
my $table = $optional + unpack('v', substr($data, $headers + 20, 2));
my $offset;
for my $i (0 .. $sections - 1) {
    my ($virtual_size, $virtual_address, undef, $raw) = unpack('V4', substr($data, $table + 40 * $i + 8, 16));
    $offset = $raw + $rva - $virtual_address if $rva >= $virtual_address && $rva < $virtual_address + $virtual_size;
}
die "pe-load-config: _load_config_used is in no section of $image\n" unless defined $offset;
my $size = unpack('V', substr($data, $offset, 4));

seek($file, $optional + 112 + 10 * 8, 0) or die "pe-load-config: $image: $!\n";
print $file pack('VV', $rva, $size) or die "pe-load-config: $image: $!\n";
close($file) or die "pe-load-config: $image: $!\n";
