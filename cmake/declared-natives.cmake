# The native functions the `javac -h` headers in `headers` declare, sorted, into `out`: the names
# the JVM looks up, which both export checks compare a binary against.
function(morlane_declared_natives out headers)
  set(declared "")
  foreach(one IN LISTS headers)
    file(READ "${one}" text)
    string(REGEX MATCHALL "JNICALL (Java_[A-Za-z0-9_]+)" names "${text}")
    list(APPEND declared ${names})
  endforeach()
  list(TRANSFORM declared REPLACE "JNICALL " "")
  list(SORT declared)
  set(${out} "${declared}" PARENT_SCOPE)
endfunction()
