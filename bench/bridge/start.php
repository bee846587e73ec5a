<?php
// The trivial application of the bridge benchmark: one reply, then the end.
echo '{"headers":{},"cookies":{},"content":"' . strtoupper(bin2hex('ok')) . '"}' . "\n";
