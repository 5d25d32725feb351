"""Native core of zarn, compiled from the C++ sources beside this file."""
