<?php
// Writes a line to standard error first. The server passes it on to the
// browser as a line of its own, ahead of the page.

return function (VexaRequest $req, VexaReply $reply): void {
    fwrite(STDERR, "stderr page: this line was written to standard error\n");
    fflush(STDERR);
    usleep(300000);  // lets the error line arrive before the page
    $reply->send(vexa_layout('Standard error', '<p>This page wrote one line to standard error before it '
        . 'printed anything else; the server sent that line to the browser first.</p>'));
};
