<?php
// The plain PHP echo of the websocketd comparison: one line in, one line out.
while (($line = fgets(STDIN)) !== false) {
    echo $line;
    flush();
}
