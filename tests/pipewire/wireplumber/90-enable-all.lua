-- Replaces the packaged list of what the session manager enables: no device monitors, no portal.
default_access.properties["enable-flatpak-portal"] = false
load_module("metadata")
default_access.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
