#!/usr/bin/perl
# Keeps removing and recreating entries of the current directory, as
# folders, files, FIFOs and links to SENTINEL, until STOP exists; prints the
# rounds it made. Used against runs of tolvane walking the same directory.
use strict;
use warnings;
use POSIX qw(mkfifo);

my ($stop, $sentinel) = @ARGV;
die "usage: churn.pl STOP-FILE SENTINEL\n" unless defined $sentinel;

sub touch {
    my $file;
    open($file, '>', $_[0]) and close $file;
}

my $rounds = 0;
until (-e $stop) {
    for my $d (qw(d1 d2 d3)) {
        unlink "$d/s/g", "$d/f1", "$d/f2";
        rmdir "$d/s";
        rmdir $d;
        unlink $d;
        mkdir $d;
        touch("$d/f1");
        mkdir "$d/s";
        touch("$d/s/g");
    }
    for my $e (qw(e1 e2 k1/f1 k2)) {
        unlink $e;
        rmdir $e;
        symlink $sentinel, $e;
        unlink $e;
        mkfifo $e, 0644;
        unlink $e;
        mkdir $e;
        rmdir $e;
        touch($e);
    }
    $rounds++;
}
print "$rounds\n";
