'use strict';
// Request tokens: the add-on tells which request an answer is for by the
// token it was given. A link proxy keeps its token for its life, across
// Graphs: tokens are unique for the life of the process.
let lastToken = 0;
function newToken() {
  lastToken = (lastToken % 0xffffffff) + 1;
  return lastToken;
}

module.exports = { newToken };
