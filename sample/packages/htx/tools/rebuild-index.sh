#!/bin/sh
# Rebuilds the language index of the templates.
exec find "$(dirname "$0")/.." -name "*.htx" -print
