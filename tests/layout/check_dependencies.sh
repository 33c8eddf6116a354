#!/bin/sh
# Checks that each folder includes only what it may use, so dependencies point one way:
# base <- protocol <- client; base <- host <- extension; host, protocol <- camera; client <- tools,
# gst, python. cli is the command line every program shares: the camera, tools and bench use it.
# Usage: check_dependencies.sh <source tree>
set -u
root=$1
status=0

# may_use <folder> <pattern of the include paths it may name>
may_use() {
    folder=$1
    allowed=$2
    [ -d "$root/$folder" ] || { echo "missing folder $folder"; status=1; return; }
    offending=$(grep -rnE '^#include "' --include='*.h' --include='*.cpp' "$root/$folder" |
        sed -E 's/^([^:]*:[0-9]+):#include "([^"]*)".*/\1 \2/' |
        awk -v allowed="$allowed" '$2 !~ allowed')
    if [ -n "$offending" ]; then
        echo "$folder may include only ($allowed):"
        echo "$offending" | sed "s#^$root/#    #"
        status=1
    fi
}

may_use base '^base/'
may_use protocol '^(base|protocol)/'
may_use host '^(base|host)/'
may_use Sources/CameraExtension '^(host|Sources/CameraExtension)/'
may_use camera/engine '^(base|host|protocol|camera/engine)/'
may_use camera/service '^(base|host|protocol|camera/engine|camera/service)/'
may_use client '^(base/|protocol/|kova/|[A-Za-z]+\.h$)'
may_use cli '^cli/'
may_use camera '^(base|host|protocol|Sources/CameraExtension|camera|cli)/'
may_use tools '^(cli/|kova/|[A-Za-z]+\.h$)'
may_use gst '^(kova/|[A-Za-z]+\.h$)'
may_use python '^(kova/|[A-Za-z]+\.h$)'
may_use bench '^(base|protocol|host|Sources/CameraExtension|cli|kova)/|^[A-Za-z]+\.h$'
exit $status
