-- Replaces the packaged list of what the session manager enables: no device monitors; the portal
-- access rules as 80-portal.lua, written by the tests, says.
load_module("metadata")
default_access.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
