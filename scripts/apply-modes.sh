# Sourced: gives the files of a copied sample tree the modes listed in the
# sample's modes file. Usage: apply_modes MODES_FILE TREE
apply_modes() {
  local mode path
  while read -r mode path; do
    case $mode in '#'* | '') continue ;; esac
    chmod "$mode" "$2/$path"
  done < "$1"
}
