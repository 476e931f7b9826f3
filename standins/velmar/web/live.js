// the page's script: written in step 2
