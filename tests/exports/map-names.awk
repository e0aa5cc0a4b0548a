# Prints "NODE NAME" for every exported name in a linker version script
# (cmake/korvel.map): the names under "global:" in each version node.
/^[[:space:]]*\/?\*/ { next }
/^[[:space:]]*[A-Za-z_][A-Za-z0-9_.]*[[:space:]]*\{/ { node = $1; sub(/\{.*/, "", node); next }
/^[[:space:]]*}/ { exported = 0; next }
/global:/ { exported = 1; sub(/.*global:/, "") }
/local:/ { exported = 0 }
exported {
  gsub(/[[:space:]]/, "")
  n = split($0, names, ";")
  for (i = 1; i <= n; i++) if (names[i] != "") print node, names[i]
}
