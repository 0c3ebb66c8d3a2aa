// A map for the JDWP server's tests and fuzz target: two classes, a method with lines and
// locals, a native. The package it belongs to is not needed: the server answers from the map.
#pragma once

#include "package_map.h"

inline const mapfile::package_map& jdwp_test_map() {
    static const mapfile::package_map map = [] {
        mapfile::package_map m;
        std::string problem;
        mapfile::parse_map(R"(mirt-map 1
package size 100 cksum 1
class Controller entry 6 offset 57 size 549 constants 412 names 280 code 49 source Controller.java
method Controller 1 main ()V id 102 flags 0x0008 record 515 code 558 length 44 locals 1..5
line Controller 1 0 4
line Controller 1 3 5
local Controller 1 22 11 4 out I
local Controller 1 5 39 1 total J
class Drive entry 43 offset 999 size 610 constants 390 names 312 code 5
method Drive 2 SendLong (J)V id 111 flags 0x0108 record 1467 code 0 length 0 locals none
)",
                           m, problem);
        return m;
    }();
    return map;
}
